#include "platform/posix/network_device.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <vector>

#include "platform/net/network_port.h"
#include "platform/net/network_port_device.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/wake_list.h"
#include "platform/posix/win32_errors.h"

namespace kavrel::platform::posix {

namespace {

using net::IoStep;
using std::chrono::milliseconds;

std::atomic<long long> gConnectMs{5000};
// Option negotiation after the connect.
constexpr milliseconds kNegotiationTime{5000};
constexpr milliseconds kHangUpWait{500};
// What was written and the server has not taken yet is waited for at a
// close while the server keeps taking it, as a tty's close waits for its
// output to drain, up to this long.
constexpr milliseconds kDrainLimit{30000};
constexpr milliseconds kDrainLook{20};

DWORD ConnectError(int error) {
  switch (error) {
    case ECONNREFUSED:
      return net::kErrorConnectionRefused;
    case ENETUNREACH:
    case ENETDOWN:
    // No address of the host's own to reach it from (an IPv6 address on a
    // host with none, an interface that is down), or no IPv6 at all.
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
      return net::kErrorNetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return net::kErrorHostUnreachable;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return Win32FromErrno(error);
  }
}

class SocketTransport final : public net::Transport {
 public:
  explicit SocketTransport(int fd) : fd_(fd), owner_(getpid()) {}
  // Hangs up and waits, briefly, for the server to hang up too: a server
  // that serves one user at a time (ser2net) takes a new connection only
  // once it has let go of this one, and a host that closes and opens again
  // at once must not be turned away. A forked child only lets go of its
  // copy: a hang-up would end the connection its parent still uses.
  ~SocketTransport() override {
    if (Owned() && shutdown(fd_, SHUT_WR) == 0) AwaitHangUp();
    close(fd_);
  }

  bool Owned() const override { return getpid() == owner_; }

  IoStep Send(const uint8_t* data, size_t size) override {
    for (;;) {
      const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) return {static_cast<size_t>(n), ERROR_SUCCESS};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
      return {0, ERROR_DEVICE_NOT_CONNECTED};
    }
  }

  IoStep Receive(uint8_t* buffer, size_t size) override {
    for (;;) {
      const ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) return {static_cast<size_t>(n), ERROR_SUCCESS};
      if (n == 0) return {0, ERROR_DEVICE_NOT_CONNECTED};
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
      return {0, ERROR_DEVICE_NOT_CONNECTED};
    }
  }

  void Wait(bool wantReceive, bool wantSend, const Deadline& deadline,
            uint64_t wakesSeen) override {
    short events = 0;
    if (wantReceive) events |= POLLIN;
    if (wantSend) events |= POLLOUT;
    // Without interest in the socket it is left out, so that a hang-up
    // it reports cannot end the wait over and over.
    const WakeList::Entry wake(wakers_);
    if (Wakes() != wakesSeen) return;
    pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {fd_, events, 0}};
    // A thread that cannot have a descriptor of its own looks again soon.
    int timeout = PollTimeout(deadline);
    if (wake.fd() < 0 && (timeout < 0 || timeout > 10)) timeout = 10;
    const int ready = poll(fds, events ? 2 : 1, timeout);
    if (ready > 0 && fds[0].revents) wake.Drain();
  }

  void Wake() override {
    CountWake();
    wakers_.WakeAll();
  }

 private:
  // Bytes sent that the server has not acknowledged yet (the hang-up
  // counts as one).
  int Unacknowledged() const {
    int queued = 0;
    return ioctl(fd_, SIOCOUTQ, &queued) == 0 ? queued : 0;
  }

  // Waits for the server to hang up: half a second, or longer while the
  // server still takes what was written. A socket closed with received
  // data unread, or receiving more after its close, is reset, and a reset
  // throws away what the server has not taken: with a device that talks
  // while the server works through a backlog, the end of what was written
  // would be lost.
  void AwaitHangUp() {
    const Clock::time_point limit = Clock::now() + kDrainLimit;
    Clock::time_point end = Clock::now() + kHangUpWait;
    int queued = Unacknowledged();
    char drain[4096];
    for (;;) {
      const Clock::time_point now = Clock::now();
      if (now >= end || now >= limit) break;
      // While the server takes data, the queue is looked at now and then.
      const Clock::time_point look = queued > 0 ? std::min(end, now + kDrainLook) : end;
      pollfd p{fd_, POLLIN, 0};
      const int ready = poll(&p, 1, PollTimeout(std::min(look, limit)));
      if (ready < 0 && errno != EINTR) break;
      // A server that keeps sending never lets the socket run dry: the
      // clock ends the wait.
      if (ready > 0) {
        const ssize_t n = recv(fd_, drain, sizeof drain, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
      }
      const int left = Unacknowledged();
      if (left < queued) end = Clock::now() + kHangUpWait;
      queued = left;
    }
  }

  const int fd_;
  WakeList wakers_;
  const pid_t owner_;
};

using NetworkDevice = net::NetworkPortDevice;

// A host-name lookup running on the resolver's own thread, which writes into
// it until it is done.
struct Lookup {
  std::string host, service;
  addrinfo hints{};
  gaicb request{};
};

// Lookups given up on at their deadline that the resolver could not cancel:
// freed once it is done with them. The list is made with the first of them
// and never destroyed, as a lookup may still be running when the process
// exits; until then nothing is allocated (a library that is unloaded would
// otherwise leave the list behind).
std::mutex gAbandonedMutex;
std::vector<Lookup*>* gAbandoned = nullptr;

void FreeLookup(Lookup* lookup) {
  if (gai_error(&lookup->request) == 0) freeaddrinfo(lookup->request.ar_result);
  delete lookup;
}

void FreeFinishedLookups() {
  std::lock_guard lock(gAbandonedMutex);
  if (!gAbandoned) return;
  auto running = [](Lookup* l) { return gai_error(&l->request) == EAI_INPROGRESS; };
  const auto done = std::stable_partition(gAbandoned->begin(), gAbandoned->end(), running);
  std::for_each(done, gAbandoned->end(), FreeLookup);
  gAbandoned->erase(done, gAbandoned->end());
}

// The host's addresses, by the deadline: a name server that does not answer
// holds the open no longer than the connect time, which then gives
// ERROR_SEM_TIMEOUT as a connect that takes too long.
DWORD Resolve(const net::NetworkPortName& name, Clock::time_point deadline, addrinfo*& found) {
  FreeFinishedLookups();
  auto lookup = std::make_unique<Lookup>();
  lookup->host = name.host;
  lookup->service = std::to_string(name.port);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_NUMERICSERV;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  sigevent quiet{};
  quiet.sigev_notify = SIGEV_NONE;
  const int queued = getaddrinfo_a(GAI_NOWAIT, list, 1, &quiet);
  if (queued == EAI_MEMORY || queued == EAI_AGAIN) return ERROR_NOT_ENOUGH_MEMORY;
  if (queued != 0) return net::kErrorBadNetPath;
  int status;
  while ((status = gai_error(&lookup->request)) == EAI_INPROGRESS) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      gai_cancel(&lookup->request);
      if (gai_error(&lookup->request) == EAI_INPROGRESS) {
        std::lock_guard lock(gAbandonedMutex);
        if (!gAbandoned) gAbandoned = new std::vector<Lookup*>;
        gAbandoned->push_back(lookup.get());
        lookup.release();
      } else {
        FreeLookup(lookup.release());
      }
      return ERROR_SEM_TIMEOUT;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    gai_suspend(list, 1, &wait);  // done, timed out or interrupted: looked at above
  }
  if (status == EAI_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
  if (status != 0) return net::kErrorBadNetPath;
  found = lookup->request.ar_result;
  return ERROR_SUCCESS;
}

// A non-blocking socket connected to one of the host's addresses by the
// deadline, or the error of the last address tried.
DWORD Connect(const net::NetworkPortName& name, Clock::time_point deadline, int& connected) {
  addrinfo* found = nullptr;
  if (const DWORD error = Resolve(name, deadline, found); error != ERROR_SUCCESS) return error;

  DWORD error = net::kErrorBadNetPath;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = ConnectError(errno);
      continue;
    }
    int result = connect(fd, a->ai_addr, a->ai_addrlen);
    int failure = result == 0 ? 0 : errno;
    while (failure == EINPROGRESS || failure == EINTR) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = poll(&p, 1, PollTimeout(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        failure = ETIMEDOUT;
        break;
      }
      socklen_t length = sizeof failure;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) < 0) failure = errno;
    }
    if (failure == 0) {
      freeaddrinfo(found);
      connected = fd;
      return ERROR_SUCCESS;
    }
    close(fd);
    error = ConnectError(failure);
    if (Clock::now() >= deadline) break;
  }
  freeaddrinfo(found);
  return error;
}

void Tune(int fd) {
  const int on = 1;
  // Serial traffic is small writes that must go at once.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A pulled cable or a server that vanished without a word ends the
  // connection within half a minute instead of never.
  const int idle = 10, interval = 5, count = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

void SetNetworkConnectTime(milliseconds limit) { gConnectMs = limit.count(); }

DWORD OpenNetworkPort(const std::string& name, bool canRead, bool canWrite,
                      std::shared_ptr<Device>& device) {
  const std::optional<net::NetworkPortName> parsed = net::ParseNetworkPortName(name);
  if (!parsed) return kErrorInvalidName;
  int fd = -1;
  const Clock::time_point start = Clock::now();
  if (const DWORD error = Connect(*parsed, start + milliseconds(gConnectMs.load()), fd);
      error != ERROR_SUCCESS) {
    return error;
  }
  Tune(fd);
  std::unique_ptr<net::Transport> transport;
  try {
    transport = std::make_unique<SocketTransport>(fd);
  } catch (...) {
    close(fd);
    throw;
  }
  auto network = std::make_shared<NetworkDevice>(std::move(transport), canRead, canWrite);
  if (const DWORD error = network->port().Negotiate(Clock::now() + kNegotiationTime);
      error != ERROR_SUCCESS) {
    return error;
  }
  device = std::move(network);
  return ERROR_SUCCESS;
}

}  // namespace kavrel::platform::posix
