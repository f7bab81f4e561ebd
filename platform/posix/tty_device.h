// A tty device (a serial port, a USB serial adapter, a pseudo-terminal)
// behind a handle.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/device.h"

namespace kavrel::platform::posix {

// Opens path as a serial line: without creating anything or becoming the
// controlling terminal, without waiting for a carrier, exclusively (a second
// open from this or any other process fails with ERROR_ACCESS_DENIED until
// this device is closed), and only if it is a terminal device. The decision
// is made on the object the path leads to, not on the name: the path is
// resolved once to a handle that cannot read or write, the device behind it
// is judged by its number, and only a terminal is then opened for reading
// and writing, through that very handle. Anything else (a regular file, a
// FIFO, a directory, a character device that is no terminal) is refused with
// ERROR_NOT_SUPPORTED without ever being opened for I/O, so a device whose
// open has side effects never sees one. The line is switched to raw
// transfers, keeping its speed, framing and hardware flow control.
DWORD OpenTty(const std::string& path, bool canRead, bool canWrite,
              std::shared_ptr<Device>& device);

// The error of a terminal that opened but does not answer for its settings.
// The serial core answers EIO for a port with no hardware behind it (a
// legacy ttyS entry without a UART, as most of /dev/ttyS* on a PC) and a
// line that has hung up answers the same (an adapter pulled out while it
// opened): ERROR_FILE_NOT_FOUND, what Windows says of a COM port that is not
// there. Anything else means a character device that is no terminal:
// ERROR_NOT_SUPPORTED.
DWORD UnusableTerminalError(int probeError);

// Whether character device major:minor is a terminal: a Unix98
// pseudo-terminal slave (majors 136 to 143, which have no sysfs entry), or a
// device whose sysfs subsystem (<sysfsChar>/MAJ:MIN/subsystem) is tty. Where
// sysfs is not mounted at all, the fixed majors of the serial and terminal
// drivers (4, 5, 166, 188, 204) stand in for it.
bool IsTerminalDevice(unsigned major, unsigned minor, const char* sysfsChar = "/sys/dev/char");

// Whether major:minor is a number of the serial drivers (ttyS, ttyACM,
// ttyUSB, ttyAMA) that sysfs has no device for: the node was left behind by
// an adapter that has gone, or names a port the driver does not have. Such
// a node is a missing port (ERROR_FILE_NOT_FOUND) and is never opened.
bool IsVanishedSerialDevice(unsigned major, unsigned minor,
                            const char* sysfsChar = "/sys/dev/char");

}  // namespace kavrel::platform::posix
