// libFuzzer target for the mode-string parser: no input may crash it, a
// refused string must leave the block untouched, an accepted one must leave
// a block within the members' ranges and mean the same when applied twice.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/mode_string.h"

namespace {

DCB Start() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 4321;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  dcb.XonLim = 11;
  dcb.XoffLim = 22;
  dcb.ByteSize = 6;
  dcb.Parity = MARKPARITY;
  dcb.StopBits = ONE5STOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  return dcb;
}

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const DCB before = Start();
  DCB dcb = before;
  if (!kavrel::platform::ApplyModeString(text, dcb)) {
    Require(std::memcmp(&dcb, &before, sizeof dcb) == 0);
    return 0;
  }
  Require(dcb.ByteSize >= 5 && dcb.ByteSize <= 8);
  Require(dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS);
  Require(dcb.fDtrControl <= DTR_CONTROL_HANDSHAKE);
  // Members no mode string names.
  Require(dcb.DCBlength == before.DCBlength && dcb.fBinary == before.fBinary);
  Require(dcb.XonLim == before.XonLim && dcb.XoffLim == before.XoffLim);
  Require(dcb.XonChar == before.XonChar && dcb.XoffChar == before.XoffChar);
  Require(dcb.ErrorChar == before.ErrorChar && dcb.EofChar == before.EofChar &&
          dcb.EvtChar == before.EvtChar);
  Require(dcb.fParity == before.fParity && dcb.fAbortOnError == before.fAbortOnError);

  DCB again = dcb;
  Require(kavrel::platform::ApplyModeString(text, again));
  Require(std::memcmp(&dcb, &again, sizeof dcb) == 0);
  return 0;
}
