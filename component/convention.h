// The calling convention every member follows, written once:
//  - a runtime error raised inside a member is a C++ RuntimeError; it never
//    leaves the member as an exception;
//  - Published() is the frame of a member the host calls: it holds a
//    reference on the object, and turns an escaping runtime error into the
//    failure status 0x800A0000|N with the description left as the thread's
//    error information ("no error handling");
//  - Check() is the other side of a call between members: an inner failure
//    is raised again as a runtime error at the point of the call;
//  - IgnoringFailure() runs one step in failure-ignoring mode;
//  - Trapped() runs a body under an error trap.
#pragma once

#include <string>
#include <string_view>

#include "kavrel/automation.h"

namespace kavrel {

class CommsObject;

inline constexpr LONG kErrInvalidCall = 5;
inline constexpr LONG kErrOverflow = 6;
inline constexpr LONG kErrOutOfMemory = 7;
inline constexpr LONG kErrSubscript = 9;
inline constexpr LONG kErrTypeMismatch = 13;
inline constexpr LONG kErrInternal = 51;
inline constexpr LONG kErrNoSuchMember = 438;
inline constexpr LONG kErrArgNotOptional = 449;
inline constexpr LONG kErrWrongArgCount = 450;

struct RuntimeError {
  LONG number;
  std::u16string description;
};

// The runtime's description of a runtime error number (a fixed text).
std::u16string_view RuntimeErrorDescription(LONG number);

// The failure status that carries runtime error N.
constexpr HRESULT RuntimeErrorStatus(LONG number) {
  return static_cast<HRESULT>(0x800A0000u | (static_cast<uint32_t>(number) & 0xFFFFu));
}

// The runtime error number a failure status stands for.
LONG RuntimeErrorNumberOf(HRESULT hr);

[[noreturn]] void Raise(LONG number);
[[noreturn]] void Raise(LONG number, std::u16string description);

// Raises the failure of an inner call, with the description the inner
// member left as error information.
void Check(HRESULT hr);

// Translates whatever a body threw into a runtime error (out of memory,
// or an internal error for anything unexpected). Must be called from a catch.
// When no memory is left for the description, the error comes without it.
// It throws only to let a thread that is ending go on unwinding: a host's
// handler may end its thread (pthread_exit, cancellation, an interpreter
// letting its threads go at exit) inside a member, and that unwinding,
// turned into a status, would abort the process.
RuntimeError CurrentRuntimeError();

template <class Step>
void IgnoringFailure(Step&& step) {
  try {
    step();
  } catch (...) {
    (void)CurrentRuntimeError();
  }
}

// Runs body; on a runtime error calls onTrap(number, description).
template <class Body, class OnTrap>
void Trapped(Body&& body, OnTrap&& onTrap) {
  RuntimeError caught;
  try {
    body();
    return;
  } catch (...) {
    caught = CurrentRuntimeError();
  }
  onTrap(caught.number, caught.description);
}

}  // namespace kavrel
