#include "component/convention.h"

#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "component/bstr.h"

namespace kavrel {

std::u16string_view RuntimeErrorDescription(LONG number) {
  switch (number) {
    case kErrInvalidCall:
      return u"Invalid procedure call or argument";
    case kErrOverflow:
      return u"Overflow";
    case kErrOutOfMemory:
      return u"Out of memory";
    case kErrSubscript:
      return u"Subscript out of range";
    case kErrTypeMismatch:
      return u"Type mismatch";
    case kErrInternal:
      return u"Internal error";
    case kErrNoSuchMember:
      return u"Object doesn't support this property or method";
    case kErrArgNotOptional:
      return u"Argument not optional";
    case kErrWrongArgCount:
      return u"Wrong number of arguments or invalid property assignment";
    default:
      return u"Application-defined or object-defined error";
  }
}

LONG RuntimeErrorNumberOf(HRESULT hr) {
  const auto u = static_cast<uint32_t>(hr);
  if ((u & 0xFFFF0000u) == 0x800A0000u) return static_cast<LONG>(u & 0xFFFFu);
  switch (u) {
    case 0x8007000Eu:
      return kErrOutOfMemory;  // E_OUTOFMEMORY
    case 0x80070057u:
      return kErrInvalidCall;  // E_INVALIDARG
    case 0x80020005u:
      return kErrTypeMismatch;  // DISP_E_TYPEMISMATCH
    case 0x8002000Au:
      return kErrOverflow;  // DISP_E_OVERFLOW
    case 0x8002000Bu:
      return kErrSubscript;  // DISP_E_BADINDEX
    case 0x80020003u:
      return kErrNoSuchMember;  // DISP_E_MEMBERNOTFOUND
    case 0x80020006u:
      return kErrNoSuchMember;  // DISP_E_UNKNOWNNAME
    case 0x8002000Eu:
      return kErrWrongArgCount;  // DISP_E_BADPARAMCOUNT
    case 0x8002000Fu:
      return kErrArgNotOptional;  // DISP_E_PARAMNOTOPTIONAL
    default:
      return static_cast<LONG>(hr);
  }
}

void Raise(LONG number) {
  throw RuntimeError{number, std::u16string(RuntimeErrorDescription(number))};
}

void Raise(LONG number, std::u16string description) {
  throw RuntimeError{number, std::move(description)};
}

void Check(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  const LONG number = RuntimeErrorNumberOf(hr);
  std::u16string description;
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) == S_OK && info) {
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text) description = Bstr::Attach(text).str();
    info->Release();
  }
  if (description.empty()) description = RuntimeErrorDescription(number);
  throw RuntimeError{number, std::move(description)};
}

namespace {

// The error with its description, or without it when there is no memory
// left to hold the text.
RuntimeError Described(LONG number, std::u16string_view description) noexcept {
  RuntimeError error{number, {}};
  try {
    error.description.assign(description);
  } catch (...) {
    error.description.clear();
  }
  return error;
}

}  // namespace

// The unwinding of a thread that is ending carries no exception object, so
// binding the reference below is what the sanitizer's null check reports.
__attribute__((no_sanitize("null"))) RuntimeError CurrentRuntimeError() {
  try {
    throw;
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is ending: let it
#endif
  } catch (const RuntimeError& e) {
    return Described(e.number, e.description);
  } catch (const std::bad_alloc&) {
    return Described(kErrOutOfMemory, RuntimeErrorDescription(kErrOutOfMemory));
  } catch (...) {
    return Described(kErrInternal, RuntimeErrorDescription(kErrInternal));
  }
}

}  // namespace kavrel
