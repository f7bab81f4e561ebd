#include "serial_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kavrel::testing {

namespace {

using std::chrono::milliseconds;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kServerScript = KAVREL_TEST_SOURCE_DIR "/platform/com_port_server.py";

bool Listening(int port) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

void Stop(pid_t& pid, int signal) {
  if (pid <= 0) return;
  kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

bool Found(const char* command) {
  const std::string probe = std::string("command -v ") + command + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

}  // namespace

bool HaveSer2net() { return Found("ser2net"); }
bool HavePythonSerial() {
  return std::system("/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1") == 0;
}

int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  return port;
}

int LoopbackListener(int backlog, int& port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, backlog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    if (s >= 0) close(s);
    return -1;
  }
  port = ntohs(a.sin_port);
  return s;
}

Ser2net::Ser2net(PtyPair& pty) {
  char dir[] = "/tmp/kavrel-ser2net-XXXXXX";
  if (!mkdtemp(dir)) {
    ADD_FAILURE() << "mkdtemp";
    return;
  }
  dir_ = dir;
  config_ = dir_ + "/ser2net.yaml";
  holder_ = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  port_ = FreeLoopbackPort();
  std::ofstream(config_) << "connection: &port\n"
                         << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port_ << "\n"
                         << "  connector: serialdev," << pty.path() << ",9600n81,local\n";
  Start();
}

Ser2net::~Ser2net() {
  Kill();
  if (holder_ >= 0) close(holder_);
  if (!config_.empty()) unlink(config_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

void Ser2net::Start() {
  if (pid_ > 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    execlp("ser2net", "ser2net", "-n", "-c", config_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Listening(port_) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  if (!Listening(port_)) ADD_FAILURE() << "ser2net does not listen on " << port_;
}

void Ser2net::Kill() { Stop(pid_, SIGKILL); }

PythonComPortServer::PythonComPortServer() {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(kPython, kPython, kServerScript, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The server prints its port once it listens.
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(out[0], &c, 1) != 1) break;
    line.push_back(c);
  }
  close(out[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) ADD_FAILURE() << "the Python server did not start";
}

PythonComPortServer::~PythonComPortServer() { Stop(pid_, SIGTERM); }

}  // namespace kavrel::testing
