// Serial servers for the network port tests, started and stopped by the
// test: ser2net serving a pseudo-terminal, and a small Telnet COM port
// server of pySerial's over a loop-back port (its CTS follows RTS, its DSR
// follows DTR, its carrier is always on).
#pragma once

#include <sys/types.h>

#include <string>

#include "pty_pair.h"

namespace kavrel::testing {

// A free TCP port on 127.0.0.1 (nothing listens on it when this returns).
int FreeLoopbackPort();

// A socket listening on a free port of 127.0.0.1 with the given backlog, or
// -1; `port` is set to the port.
int LoopbackListener(int backlog, int& port);

class Ser2net {
 public:
  // Serves the slave of `pty` on a free port of 127.0.0.1, as a Telnet COM
  // port; the test keeps the master as the far end of the line.
  explicit Ser2net(PtyPair& pty);
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  bool running() const { return pid_ > 0; }
  void Start();  // waits until the port listens
  void Kill();   // at once, as a crash would
  int port() const { return port_; }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string dir_;
  std::string config_;
  int port_ = 0;
  int holder_ = -1;  // keeps the slave open, so the line stays up between connections
  pid_t pid_ = -1;
};

class PythonComPortServer {
 public:
  PythonComPortServer();
  ~PythonComPortServer();
  PythonComPortServer(const PythonComPortServer&) = delete;
  PythonComPortServer& operator=(const PythonComPortServer&) = delete;

  bool running() const { return port_ > 0; }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

// Whether the servers can be had on this machine; the tests are skipped
// with the reason otherwise.
bool HaveSer2net();
bool HavePythonSerial();

}  // namespace kavrel::testing
