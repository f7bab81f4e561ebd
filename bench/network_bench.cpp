// A network port against a raw TCP client of the same serial server, side
// by side in paired rounds (bench/paired.h). ser2net serves one side of a
// pseudo-terminal; the bench plays the far end on the master:
//  - sending: WriteFile on rfc2217://127.0.0.1:PORT against send(2) on a
//    plain socket to the same port, 4096-byte pieces, the far end checking
//    every byte;
//  - receiving: the far end streams, ReadFile against recv(2).
// The payload is printable ASCII, which the raw client can take as it comes
// (the protocol changes nothing in it). Each round connects anew (ser2net
// serves one user at a time); connecting is not timed.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "paired.h"
#include "platform/platform.h"

namespace {

using namespace kavrel;
using bench::Cost;
using bench::Goal;
using bench::Stopwatch;

constexpr size_t kPiece = 4096;

unsigned char PayloadAt(size_t offset) { return static_cast<unsigned char>(0x21 + offset % 94); }

bool WaitFor(int fd, short events, int ms = 5000) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, ms) > 0;
}

struct Server {
  int master = -1, holder = -1, port = 0;
  pid_t pid = -1;
  std::string config;

  bool Start() {
    char name[128] = {};
    int slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
    close(slave);
    holder = open(name, O_RDWR | O_NOCTTY);  // the line stays up between connections
    fcntl(master, F_SETFL, O_NONBLOCK);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    close(s);
    config = "/tmp/kavrel-bench-ser2net-" + std::to_string(getpid()) + ".yaml";
    std::ofstream(config) << "connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,"
                          << port << "\n  connector: serialdev," << name << ",115200n81,local\n";
    pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 1);
      dup2(null, 2);
      execlp("ser2net", "ser2net", "-n", "-c", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      const int probe = Raw();
      if (probe >= 0) {
        close(probe);
        usleep(100 * 1000);
        return true;
      }
      usleep(10 * 1000);
    }
    return false;
  }
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (!config.empty()) unlink(config.c_str());
  }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }

  // A plain TCP connection, its greeting read and dropped.
  int Raw() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A server still busy with the last user greets, says so and hangs up.
    char greeting[256];
    while (WaitFor(fd, POLLIN, 200)) {
      if (recv(fd, greeting, sizeof greeting, MSG_DONTWAIT) <= 0) {
        close(fd);
        return -1;
      }
    }
    return fd;
  }
  void Drain() const {
    char buffer[65536];
    while (read(master, buffer, sizeof buffer) > 0) {
    }
  }
};

platform::Platform& Device() { return platform::NativeRuntime().device; }

platform::Handle32 OpenPort(const Server& server) {
  for (int attempt = 0; attempt < 100; ++attempt) {  // until the last user's close is through
    const platform::Handle32 h = Device().CreateFileA(
        server.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    if (h != platform::kInvalidHandle) return h;
    usleep(20 * 1000);
  }
  return platform::kInvalidHandle;
}

int OpenRaw(const Server& server) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = server.Raw();
    if (fd >= 0) return fd;
    usleep(20 * 1000);
  }
  return -1;
}

// The far end's check of what arrives, on its own thread.
class Verifier {
 public:
  Verifier(int fd, size_t total)
      : thread_([this, fd, total] {
          std::vector<unsigned char> buffer(1 << 16);
          size_t got = 0;
          while (got < total && WaitFor(fd, POLLIN, 30000)) {
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            for (ssize_t i = 0; i < n; ++i) {
              if (buffer[i] != PayloadAt(got + i)) {
                std::fprintf(stderr, "mismatch at %zu: %02x\n", got + i, buffer[i]);
                return;
              }
            }
            if (n > 0) got += static_cast<size_t>(n);
          }
          ok_ = got == total;
        }) {}
  bool Finish() {
    thread_.join();
    return ok_;
  }

 private:
  bool ok_ = false;
  std::thread thread_;
};

std::vector<unsigned char> Pattern() {
  std::vector<unsigned char> bytes(94 + kPiece);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = PayloadAt(i);
  return bytes;
}

Cost SendRaw(const Server& server, size_t total) {
  const int fd = OpenRaw(server);
  if (fd < 0) return {0, 0, true};
  const std::vector<unsigned char> bytes = Pattern();
  Verifier verifier(server.master, total);
  const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
  bool failed = false;
  for (size_t sent = 0; sent < total && !failed;) {
    const ssize_t n = send(fd, bytes.data() + sent % 94, std::min(kPiece, total - sent), 0);
    if (n > 0) sent += static_cast<size_t>(n);
    failed = n <= 0;
  }
  const bool ok = verifier.Finish();
  Cost cost = watch.Stop();
  cost.failed = failed || !ok;
  close(fd);
  return cost;
}

Cost SendKavrel(const Server& server, size_t total) {
  const platform::Handle32 h = OpenPort(server);
  if (h == platform::kInvalidHandle) return {0, 0, true};
  const std::vector<unsigned char> bytes = Pattern();
  Verifier verifier(server.master, total);
  const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
  bool failed = false;
  OVERLAPPED o{};
  for (size_t sent = 0; sent < total && !failed;) {
    DWORD n = 0;
    const DWORD piece = static_cast<DWORD>(std::min(kPiece, total - sent));
    failed = !Device().WriteFile(h, bytes.data() + sent % 94, piece, &n, &o) || n != piece;
    sent += n;
  }
  const bool ok = verifier.Finish();
  Cost cost = watch.Stop();
  cost.failed = failed || !ok;
  Device().CloseHandle(h);
  return cost;
}

// The far end streams `total` bytes from its own thread.
class FarSender {
 public:
  FarSender(int fd, size_t total)
      : thread_([fd, total] {
          const std::vector<unsigned char> bytes = Pattern();
          for (size_t sent = 0; sent < total;) {
            const ssize_t n = write(fd, bytes.data() + sent % 94, std::min(kPiece, total - sent));
            if (n > 0) {
              sent += static_cast<size_t>(n);
            } else if (!WaitFor(fd, POLLOUT)) {
              return;
            }
          }
        }) {}
  ~FarSender() { thread_.join(); }

 private:
  std::thread thread_;
};

Cost ReceiveRaw(const Server& server, size_t total) {
  const int fd = OpenRaw(server);
  if (fd < 0) return {0, 0, true};
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  bool ok = true;
  Cost cost;
  {
    const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
    FarSender sender(server.master, total);
    while (got < total && ok) {
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      ok = n > 0;
      for (ssize_t i = 0; i < n && ok; ++i) ok = buffer[i] == PayloadAt(got + i);
      if (n > 0) got += static_cast<size_t>(n);
    }
    cost = watch.Stop();
  }
  cost.failed = !ok;
  close(fd);
  return cost;
}

Cost ReceiveKavrel(const Server& server, size_t total) {
  const platform::Handle32 h = OpenPort(server);
  if (h == platform::kInvalidHandle) return {0, 0, true};
  COMMTIMEOUTS returnOnArrival{MAXDWORD, MAXDWORD, 5000, 0, 0};
  Device().SetCommTimeouts(h, &returnOnArrival);
  std::vector<unsigned char> buffer(1 << 16);
  size_t got = 0;
  bool ok = true;
  Cost cost;
  {
    const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
    FarSender sender(server.master, total);
    OVERLAPPED o{};
    while (got < total && ok) {
      DWORD n = 0;
      ok = Device().ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, &o) && n;
      for (DWORD i = 0; i < n && ok; ++i) ok = buffer[i] == PayloadAt(got + i);
      got += n;
    }
    cost = watch.Stop();
  }
  cost.failed = !ok;
  Device().CloseHandle(h);
  return cost;
}

}  // namespace

int main(int argc, char** argv) {
  // bench/network_bench [rounds] [MiB per round]
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const size_t total = (argc > 2 ? std::max(1, std::atoi(argv[2])) : 4) * size_t{1 << 20};
  signal(SIGPIPE, SIG_IGN);
  Server server;
  if (!server.Start()) {
    std::fprintf(stderr, "network_bench: ser2net could not be started (tools/install-deps.sh)\n");
    return 1;
  }
  std::printf(
      "A network port against a raw TCP client of the same ser2net port;\n"
      "ratio median [range] of %d paired rounds of %zu MiB\n\n",
      rounds, total >> 20);
  bench::PairedRuns runs(rounds);
  runs.Compare(
      "send through ser2net, WriteFile / send", Goal::Speed, 0.9,
      [&] { return SendRaw(server, total); }, [&] { return SendKavrel(server, total); });
  server.Drain();
  runs.Compare(
      "receive through ser2net, ReadFile / recv", Goal::Speed, 0.9,
      [&] { return ReceiveRaw(server, total); }, [&] { return ReceiveKavrel(server, total); });
  return runs.Finish();
}
