// One port opened through the comms object: the port-layer members on
// slot 1, with bytes in and out (the component's text is one character per
// byte in its code page).
#pragma once

#include <memory>
#include <string>

#include "kavrel/kavrel.h"

namespace kavrel::cli {

class CommPort {
 public:
  // Creates the object and opens name with the mode string. On failure
  // returns nothing and sets *error to the component's error line and the
  // device the name stands for.
  static std::unique_ptr<CommPort> Open(const std::string& name, const std::string& mode,
                                        std::string* error);
  ~CommPort();
  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  // Bytes written (all of them unless the write timed out), or -1.
  long Write(const std::string& bytes);
  // What is waiting, up to 1024 bytes; "" when nothing is. False on failure.
  bool Read(std::string* bytes);
  // The modem status lines as CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80. False
  // when the device has none or cannot be asked.
  bool ModemLines(unsigned* lines);

  // Raises (on) or lowers an output line: 1 break, 2 DTR, 3 RTS. False
  // when the device refuses.
  bool SetLine(short line, bool on);

  // The component's error line, with the device path the name resolved to.
  std::string Failure() const;

 private:
  CommPort(_comms* comms, std::string name) : comms_(comms), name_(std::move(name)) {}
  _comms* comms_;
  std::string name_;
};

// For a handler of a signal that ends the process: lets go of the
// exclusive hold (TIOCEXCL) the open ports keep on their terminals, which
// would otherwise outlive the process wherever something else keeps the
// terminal open (the master of a pseudo-terminal pair): only root could open
// it then. Async-signal-safe.
void ReleasePortsOnSignal();

// Ends the process the way sig would have, after ReleasePortsOnSignal, for
// each of SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE the caller has not
// set to be ignored.
void ReleasePortsOnFatalSignals();

// The component's CommGetError line without its line break, then a line
// "  device: PATH" with the device that name resolves to.
std::string ErrorLine(_comms* comms, const std::string& name);

// "/dev/ttyS2 (COM3)" for a COM name, the name itself otherwise.
std::string DescribeDevice(const std::string& name);

// The component's version text ("Kavrel 16.0" style), or "" when the object
// cannot be created.
std::string ComponentVersion();

}  // namespace kavrel::cli
