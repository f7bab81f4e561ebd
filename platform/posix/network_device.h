// A port on a serial server: "rfc2217://HOST:PORT" opens a TCP connection
// to a Telnet COM port server (ser2net's "telnet(rfc2217)" accepter, most
// hardware serial servers) and behaves as a local serial device.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/posix/device.h"

namespace kavrel::platform::posix {

// Looks the host up and connects within the connect time (refused,
// unreachable and timed-out connects and lookups give their Win32 errors, a
// host name that does not resolve ERROR_BAD_NETPATH, a malformed name
// ERROR_INVALID_NAME), then negotiates
// the protocol. A server that turns this user away gives ERROR_ACCESS_DENIED.
DWORD OpenNetworkPort(const std::string& name, bool canRead, bool canWrite,
                      std::shared_ptr<Device>& device);

// How long a connect may take (5 seconds unless a test says otherwise).
void SetNetworkConnectTime(std::chrono::milliseconds limit);

}  // namespace kavrel::platform::posix
