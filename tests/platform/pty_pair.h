// A pseudo-terminal pair for device tests: the test plays the far end on the
// master side and opens the slave by its path through the device layer.
#pragma once

#include <string>

namespace kavrel::testing {

class PtyPair {
 public:
  PtyPair();  // fails the test when no pseudo-terminal can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  void CloseMaster();

  // Writes all of data to the master (the device then has it to read).
  void Send(const std::string& data);
  // Reads from the master until `count` bytes came or `ms` passed.
  std::string Receive(size_t count, int ms = 2000);

 private:
  int master_ = -1;
  std::string path_;
};

// The slave's line settings as the kernel holds them (read through the
// master, which shares the slave's termios).
struct LineProbe {
  unsigned speed = 0;
  unsigned dataBits = 0;
  bool parity = false, oddParity = false, stickParity = false, twoStopBits = false;
  bool rtscts = false, ixon = false, ixoff = false, inpck = false;
  bool canonical = false, echo = false, outputProcessing = false;
};
LineProbe ProbeLine(int fd);

// The output speed as a program using the C library's termios reads it, as
// stty does: 0 for anything but a standard rate it knows.
unsigned LibcOutputSpeed(int fd);

}  // namespace kavrel::testing
