// The Win32 serial records and constants the component passes to the
// platform, in the Win32 layouts. On Windows they are the SDK's own; on other
// systems they are declared here with the same field order and widths.
#pragma once

#include <cstddef>

#include "kavrel/automation.h"

#if !defined(_WIN32)

struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
};

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

#define MAXDWORD 0xFFFFFFFFu
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u

#define PURGE_TXABORT 0x1u
#define PURGE_RXABORT 0x2u
#define PURGE_TXCLEAR 0x4u
#define PURGE_RXCLEAR 0x8u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define CE_RXOVER 0x1u
#define CE_OVERRUN 0x2u
#define CE_RXPARITY 0x4u
#define CE_FRAME 0x8u
#define CE_BREAK 0x10u
#define CE_TXFULL 0x100u
#define CE_MODE 0x8000u

#define SETXOFF 1u
#define SETXON 2u
#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define RESETDEV 7u
#define SETBREAK 8u
#define CLRBREAK 9u

#define MS_CTS_ON 0x10u
#define MS_DSR_ON 0x20u
#define MS_RING_ON 0x40u
#define MS_RLSD_ON 0x80u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_IO_DEVICE 1117u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_TIMEOUT 1460u

#endif  // !_WIN32

namespace kavrel::platform {

// The component stores device handles as 32-bit values; INVALID_HANDLE_VALUE
// is -1. (Windows handle values fit in 32 bits on 64-bit Windows as well.)
using Handle32 = LONG;
inline constexpr Handle32 kInvalidHandle = -1;

}  // namespace kavrel::platform

static_assert(sizeof(DCB) == 28, "DCB is 28 bytes");
static_assert(offsetof(DCB, BaudRate) == 4);
static_assert(offsetof(DCB, wReserved) == 12);
static_assert(offsetof(DCB, XonLim) == 14);
static_assert(offsetof(DCB, XoffLim) == 16);
static_assert(offsetof(DCB, ByteSize) == 18);
static_assert(offsetof(DCB, Parity) == 19);
static_assert(offsetof(DCB, StopBits) == 20);
static_assert(offsetof(DCB, XonChar) == 21);
static_assert(offsetof(DCB, EvtChar) == 25);
static_assert(offsetof(DCB, wReserved1) == 26);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16);
static_assert(sizeof(COMSTAT) == 12);
static_assert(offsetof(COMSTAT, cbInQue) == 4);
static_assert(offsetof(COMSTAT, cbOutQue) == 8);
static_assert(sizeof(OVERLAPPED) == 3 * sizeof(void*) + 8, "OVERLAPPED: 20 bytes on 32-bit");
static_assert(offsetof(OVERLAPPED, Offset) == 2 * sizeof(void*));
static_assert(offsetof(OVERLAPPED, hEvent) == 2 * sizeof(void*) + 8);
