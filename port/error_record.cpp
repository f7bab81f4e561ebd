// GetSystemMessage, CommGetError and the two record routines.
#include <cstdio>
#include <string>

#include "component/comms_object.h"
#include "port/port_steps.h"

namespace kavrel {

namespace {

constexpr size_t kMessageBuffer = 256;
constexpr DWORD kMessageSize = 255;

std::u16string TrimSpaces(std::u16string_view text) {
  const size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  const size_t last = text.find_last_not_of(u' ');
  return std::u16string(text.substr(first, last - first + 1));
}

std::u16string Hex(DWORD value) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%X", static_cast<unsigned>(value));
  return U16(digits);
}

}  // namespace

// The platform's text for an error number, cut at the first NUL and with
// spaces (only spaces) trimmed from both ends. Inserts in the text are left
// as they stand: the component has no values for them.
HRESULT CommsObject::GetSystemMessage(LONG* lngErrorCode, BSTR* result) {
  if (!result) return E_POINTER;
  TextResult text(result);
  if (!lngErrorCode) return E_POINTER;
  return Published(this, [&] {
    std::string buffer(kMessageBuffer, '\0');
    DWORD zeroSource = 0;
    va_list zeroArguments{};
    device().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, &zeroSource,
                            static_cast<DWORD>(*lngErrorCode), 0, buffer.data(), kMessageSize,
                            &zeroArguments);
    std::u16string wide = FromAnsi(buffer.data(), buffer.size());
    const size_t nul = wide.find(u'\0');
    if (nul != std::u16string::npos) wide.resize(nul);
    text.Set(TrimSpaces(wide));
    text.Deliver();
  });
}

// "Error (" code "): " source " - " text; the record stays as it is.
HRESULT CommsObject::CommGetError(BSTR* strMessage, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!strMessage) return E_POINTER;
  LONG value = 0;
  const HRESULT hr = Published(this, [&] {
    value = errorRecord.lngCode;
    std::u16string message = u"Error (" + U16(std::to_string(errorRecord.lngCode)) + u"): ";
    message += errorRecord.strSource.view();
    message += u" - ";
    message += errorRecord.strText.view();
    AssignBstr(strMessage, message);
  });
  *result = value;
  return hr;
}

// Records the platform step that has just failed, with the error saved right
// after it, and returns the code.
HRESULT CommsObject::RecordDllError(BSTR* strOperation, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!strOperation) return E_POINTER;
  LONG value = 0;
  const HRESULT hr = Private(this, [&] {
    errorRecord.lngCode = port::FailureCode(platform::Platform::LastDeviceError());
    errorRecord.strSource = Bstr::Copy(*strOperation);
    errorRecord.strText = port::SystemMessageOf(*this, errorRecord.lngCode);
    value = errorRecord.lngCode;
  });
  *result = value;
  return hr;
}

// As RecordDllError for a transfer step, reading the error with GetLastError
// and appending the device's error flags, which ClearCommError also clears so
// that transfers can go on.
HRESULT CommsObject::RecordCommError(BSTR* strOperation, LONG* lngPortHandle, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!strOperation || !lngPortHandle) return E_POINTER;
  LONG value = 0;
  const HRESULT hr = Private(this, [&] {
    errorRecord.lngCode = port::FailureCode(device().GetLastError());
    errorRecord.strSource = Bstr::Copy(*strOperation);
    errorRecord.strText = port::SystemMessageOf(*this, errorRecord.lngCode);
    DWORD flags = 0;
    COMSTAT status{};
    if (!device().ClearCommError(*lngPortHandle, &flags, &status)) flags = 0;
    std::u16string text = errorRecord.strText.str();
    text += u"  COMM Error Flags = ";
    text += Hex(flags);
    errorRecord.strText = Bstr(text);
    value = errorRecord.lngCode;
  });
  *result = value;
  return hr;
}

}  // namespace kavrel
