// What the port-layer members share: the error trap of the eight device
// members, the calls to the two record routines, and the test for a slot
// whose device has been closed.
#pragma once

#include <new>
#include <optional>
#include <string_view>

#include "component/comms_object.h"

namespace kavrel::port {

// Both queues emptied and any transfer in progress ended.
inline constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// Transfers in progress ended, but both queues kept: what was received and
// not yet read, and what was written and has not yet left the device.
inline constexpr DWORD kPurgeKeepingQueued = PURGE_TXABORT | PURGE_RXABORT;

// A slot that is not open but holds a handle other than 0 (never opened) and
// -1 (failed open) held a device that CommClose has closed. The value may
// name another object by now, so it is never handed to the platform again.
inline bool HoldsClosedDevice(const PortSlot& slot) {
  return !slot.blnOpen && slot.lngHandle != 0 && slot.lngHandle != platform::kInvalidHandle;
}

// Replaces all three fields of the record together.
inline void WriteErrorRecord(ErrorRecord& record, LONG code, std::u16string_view source,
                             std::u16string_view text) {
  Bstr newSource(source);
  Bstr newText(text);
  record.lngCode = code;
  record.strSource = std::move(newSource);
  record.strText = std::move(newText);
}

// As WriteErrorRecord for the error trap, which must not fail: when there is
// no memory left for the texts, the record still takes the number whole, with
// both texts empty, rather than keeping an older failure's texts (or the
// parts a record routine had written) beside it.
inline void WriteTrappedError(ErrorRecord& record, LONG code, std::u16string_view source,
                              std::u16string_view text) noexcept {
  try {
    WriteErrorRecord(record, code, source, text);
  } catch (const std::bad_alloc&) {
    record.lngCode = code;
    record.strSource = Bstr();
    record.strText = Bstr();
  }
}

// A record routine runs only after a failure; a code of 0 would read as
// success to every caller, so a failure the platform left without an error
// number is recorded as this one.
inline LONG FailureCode(DWORD lastError) {
  return lastError ? static_cast<LONG>(lastError) : static_cast<LONG>(ERROR_GEN_FAILURE);
}

// GetSystemMessage through the object's own interface.
inline Bstr SystemMessageOf(CommsObject& object, LONG code) {
  BSTR text = nullptr;
  const HRESULT hr = object.self()->GetSystemMessage(&code, &text);
  Bstr owned = Bstr::Attach(text);
  Check(hr);
  return owned;
}

// Records the platform step that has just failed (RecordDllError) and
// returns the code recorded.
inline LONG RecordDllFailure(CommsObject& object, std::u16string_view source) {
  BSTR operation = Bstr(source).Detach();
  LONG code = 0;
  const HRESULT hr = object.self()->RecordDllError(&operation, &code);
  ::SysFreeString(operation);
  Check(hr);
  return code;
}

// As RecordDllFailure, for a step whose platform call the member made with
// the mode string it was given: a refusal without an error number is an
// invalid parameter.
inline LONG RecordModeStringFailure(CommsObject& object, std::u16string_view source) {
  if (platform::Platform::LastDeviceError() == 0)
    platform::Platform::SubstituteLastDeviceError(ERROR_INVALID_PARAMETER);
  return RecordDllFailure(object, source);
}

// Records a failed transfer step (RecordCommError, which appends the
// device's error flags) and returns the code recorded. When host code run by
// the message pump has closed the slot meanwhile, the flags are not asked of
// the closed handle: the step is recorded by RecordDllError instead.
inline LONG RecordTransferFailure(CommsObject& object, std::u16string_view source, PortSlot& slot) {
  if (HoldsClosedDevice(slot)) return RecordDllFailure(object, source);
  BSTR operation = Bstr(source).Detach();
  LONG code = 0;
  const HRESULT hr = object.self()->RecordCommError(&operation, &slot.lngHandle, &code);
  ::SysFreeString(operation);
  Check(hr);
  return code;
}

// The step that would hand a closed slot's handle to the platform fails
// without the call, as the platform would fail it: invalid handle.
inline LONG RefuseClosedSlot(CommsObject& object, std::u16string_view source) {
  platform::Platform::SubstituteLastDeviceError(ERROR_INVALID_HANDLE);
  return RecordDllFailure(object, source);
}

// Where a member keeps its working status.
enum class StatusIn { Member, ThreadState };

// The error trap of the eight device members. Runs body; a runtime error
// raised anywhere in it (record routines included) abandons the rest of the
// body, is stored in ThreadState.lngStatus when the member keeps its status
// there, and is recorded under the member's trap name (measured only then:
// the members run it on every call). Returns the error's number when the
// trap fired.
template <class Body>
std::optional<LONG> PortTrap(CommsObject& object, const char16_t* trapName, StatusIn status,
                             Body&& body) {
  std::optional<LONG> trapped;
  Trapped(body, [&](LONG number, const std::u16string& description) {
    if (status == StatusIn::ThreadState) object.threadState().lngStatus = number;
    WriteTrappedError(object.errorRecord, number, trapName, description);
    trapped = number;
  });
  return trapped;
}

// The frame of a device member that keeps its working status in
// ThreadState.lngStatus: published, trapped, and returning that status.
template <class Body>
HRESULT StatusMember(CommsObject& object, const char16_t* trapName, LONG* result, Body&& body) {
  LONG value = 0;
  const HRESULT hr = Published(&object, [&] {
    PortTrap(object, trapName, StatusIn::ThreadState, body);
    value = object.threadState().lngStatus;
  });
  *result = value;
  return hr;
}

inline LONG AsStatus(BOOL result) { return static_cast<LONG>(result); }

}  // namespace kavrel::port
