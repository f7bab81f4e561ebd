#include "pty_pair.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kavrel::testing {

PtyPair::PtyPair() {
  int slave = -1;
  char name[128] = {};
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << errno;
    return;
  }
  path_ = name;
  close(slave);  // the device layer opens it by name
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::Send(const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(master_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "write to master: " << errno;
    done += static_cast<size_t>(n);
  }
}

std::string PtyPair::Receive(size_t count, int ms) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

unsigned LibcOutputSpeed(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return 0;
  switch (cfgetospeed(&t)) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

}  // namespace kavrel::testing
