#include "platform/posix/line_settings.h"

namespace kavrel::platform::posix {

DWORD CheckDcb(const DCB& dcb) {
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
  if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
  if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
  if ((dcb.fInX || dcb.fOutX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

DCB DefaultDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

std::chrono::nanoseconds CharacterTime(const DCB& dcb) {
  // In half bits, so that 1.5 stop bits stay exact.
  unsigned halfBits = 2 * (1 + dcb.ByteSize);
  if (dcb.Parity != NOPARITY) halfBits += 2;
  halfBits += dcb.StopBits == ONESTOPBIT ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 4;
  const unsigned long long baud = dcb.BaudRate ? dcb.BaudRate : 1;
  return std::chrono::nanoseconds(halfBits * 500'000'000ull / baud);
}

}  // namespace kavrel::platform::posix
