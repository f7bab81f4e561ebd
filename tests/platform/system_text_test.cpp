// Error numbers, their texts, and device names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/posix/device_ops.h"
#include "platform/posix/null_modem.h"
#include "platform/posix/port_names.h"
#include "platform/posix/win32_errors.h"

namespace kavrel::platform::posix {
namespace {

std::string Format(DWORD id, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM, DWORD size = 255) {
  TtyDeviceOps ops;
  char buffer[256];
  std::memset(buffer, '#', sizeof buffer);
  const DWORD n = ops.FormatMessageA(flags, nullptr, id, 0, buffer, size, nullptr);
  if (n == 0) return buffer[0] == '#' ? "<nothing>" : "<written>";
  EXPECT_EQ(std::strlen(buffer), n);
  return std::string(buffer, n);
}

TEST(SystemText, KnownNumbersGiveTheSystemTextWithCrLf) {
  EXPECT_EQ(Format(5), "Access is denied.\r\n");
  EXPECT_EQ(Format(87), "The parameter is incorrect.\r\n");
  EXPECT_EQ(Format(1167), "The device is not connected.\r\n");
  EXPECT_EQ(Format(995),
            "The I/O operation has been aborted because of either a thread exit or an "
            "application request.\r\n");
  EXPECT_EQ(Format(2, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS),
            "The system cannot find the file specified.\r\n");
}

TEST(SystemText, RefusalsWriteNothing) {
  TtyDeviceOps ops;
  EXPECT_EQ(Format(12345), "<nothing>");
  EXPECT_EQ(ops.GetLastError(), kErrorMessageNotFound);
  EXPECT_EQ(Format(5, FORMAT_MESSAGE_FROM_SYSTEM, 10), "<nothing>");  // too small
  EXPECT_EQ(ops.GetLastError(), kErrorInsufficientBuffer);
  EXPECT_EQ(Format(5, FORMAT_MESSAGE_FROM_SYSTEM, 20), "Access is denied.\r\n");  // just fits
  // A text with inserts: verbatim when they are ignored, refused otherwise.
  EXPECT_NE(
      Format(kErrorMessageNotFound, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)
          .find("0x%1"),
      std::string::npos);
  EXPECT_EQ(Format(kErrorMessageNotFound), "<nothing>");
  EXPECT_EQ(ops.GetLastError(), ERROR_INVALID_PARAMETER);
}

// Whatever errno the system produces, the number it becomes has a text, so
// that no recorded failure is ever reported without one.
TEST(SystemText, EveryNumberTheLayerReportsHasAText) {
  for (int error = 0; error < 150; ++error) {
    const DWORD win32 = Win32FromErrno(error);
    EXPECT_NE(SystemMessageText(win32), nullptr) << "errno " << error << " -> " << win32;
  }
  for (DWORD own :
       {ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED, ERROR_OPERATION_ABORTED,
        ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_ENOUGH_MEMORY, ERROR_PATH_NOT_FOUND,
        kErrorInsufficientBuffer, kErrorMessageNotFound, ERROR_IO_PENDING, ERROR_IO_INCOMPLETE}) {
    EXPECT_NE(SystemMessageText(own), nullptr) << own;
  }
  EXPECT_EQ(Win32FromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32FromErrno(EBUSY), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32FromErrno(EIO), ERROR_DEVICE_NOT_CONNECTED);
}

TEST(SystemText, LastErrorBelongsToTheThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD other = 1;
  std::thread([&] { other = LastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
}

TEST(DeviceNames, ComPortsMapToTheEnvironmentOrTheirTtyS) {
  unsetenv("KAVREL_COM3");
  EXPECT_EQ(ResolveDeviceName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(ResolveDeviceName("com3"), "/dev/ttyS2");
  EXPECT_EQ(ResolveDeviceName("\\\\.\\cOm12"), "/dev/ttyS11");
  EXPECT_EQ(ResolveDeviceName("COM2:"), "/dev/ttyS1");
  setenv("KAVREL_COM3", "/dev/pts/7", 1);
  EXPECT_EQ(ResolveDeviceName("COM3"), "/dev/pts/7");
  EXPECT_EQ(ResolveDeviceName("\\\\.\\COM3"), "/dev/pts/7");
  setenv("KAVREL_COM3", "", 1);
  EXPECT_EQ(ResolveDeviceName("COM3"), "/dev/ttyS2");
  unsetenv("KAVREL_COM3");
  for (const char* other : {"COM0", "COM01", "COM1x", "COM", "COMx", "\\\\.\\COM3:", "/dev/ttyUSB0",
                            "COM1 ", "xCOM1", "NULLMODEM0A"}) {
    EXPECT_EQ(ResolveDeviceName(other), other);
  }
}

TEST(DeviceNames, NullModemEnds) {
  const auto a = ParseNullModemName("NULLMODEM0A");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cable, 0u);
  EXPECT_EQ(a->end, 0u);
  EXPECT_FALSE(a->paced);
  const auto b = ParseNullModemName("\\\\.\\nullmodem63b:paced");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->cable, 63u);
  EXPECT_EQ(b->end, 1u);
  EXPECT_TRUE(b->paced);
  for (const char* bad :
       {"NULLMODEM", "NULLMODEMA", "NULLMODEM0", "NULLMODEM0C", "NULLMODEM64A", "NULLMODEM00A",
        "NULLMODEM0A:", "NULLMODEM0A:FAST", "NULLMODEM0AB", "NULLMODEM-1A", "XNULLMODEM0A"}) {
    EXPECT_FALSE(ParseNullModemName(bad)) << bad;
  }
}

}  // namespace
}  // namespace kavrel::platform::posix
