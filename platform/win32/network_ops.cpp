// The port operations themselves are the portable ones (platform/net, and
// the device model and time-out rules the Linux build uses, which need no
// POSIX call); this file adds Winsock, the handles and the port map.
// Winsock 2 must come before <windows.h>, which the own header brings.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include "platform/win32/network_ops.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/net/network_port.h"
#include "platform/net/network_port_device.h"
#include "platform/posix/device.h"
#include "platform/posix/device_calls.h"
#include "platform/posix/line_settings.h"

namespace kavrel::platform::win32::network {

namespace {

using posix::Clock;
using posix::Deadline;
using posix::Device;
using std::chrono::milliseconds;

constexpr milliseconds kConnectTime{5000};
constexpr milliseconds kNegotiationTime{5000};
constexpr milliseconds kHangUpWait{500};
constexpr DWORD kInvalidName = 123;
// The longest port map entry read (a device name, not a document).
constexpr DWORD kLongestMapping = 64 * 1024;

bool Winsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

timeval Timeval(const Deadline& deadline, timeval& storage, timeval*& pointer) {
  pointer = nullptr;
  if (!deadline) return storage;
  auto left = std::chrono::ceil<milliseconds>(*deadline - Clock::now()).count();
  if (left < 0) left = 0;
  if (left > INT_MAX) left = INT_MAX;
  storage.tv_sec = static_cast<long>(left / 1000);
  storage.tv_usec = static_cast<long>(left % 1000) * 1000;
  pointer = &storage;
  return storage;
}

SOCKET WakeSocket();

// A connected, non-blocking socket. A waiting thread also selects on a
// loopback datagram socket connected to itself, one of its own while it
// waits (taken from a pool), which a wake-up from any thread reaches: with
// one wake socket for all, the first waiter to wake drained it, and a read
// and a write waiting on two threads lost one of them.
class WinsockTransport final : public net::Transport {
 public:
  WinsockTransport(SOCKET socket, SOCKET wake) : s_(socket), idle_{wake} {}
  // Hangs up and waits, briefly, for the server to hang up too, so that a
  // server with one user at a time takes the next open at once.
  ~WinsockTransport() override {
    for (SOCKET wake : idle_) closesocket(wake);
    if (shutdown(s_, SD_SEND) == 0) {
      const Clock::time_point end = Clock::now() + kHangUpWait;
      char drain[4096];
      // A server that keeps sending never lets the socket run dry: the
      // clock ends the wait.
      while (Clock::now() < end) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s_, &readable);
        timeval storage{}, *timeout = nullptr;
        Timeval(Deadline(end), storage, timeout);
        if (select(0, &readable, nullptr, nullptr, timeout) <= 0) break;
        const int n = recv(s_, drain, sizeof drain, 0);
        if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) break;
      }
    }
    closesocket(s_);
  }

  net::IoStep Send(const uint8_t* data, size_t size) override {
    const int n = send(s_, reinterpret_cast<const char*>(data),
                       static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n >= 0) return {static_cast<size_t>(n), ERROR_SUCCESS};
    if (WSAGetLastError() == WSAEWOULDBLOCK) return {};
    return {0, ERROR_DEVICE_NOT_CONNECTED};
  }

  net::IoStep Receive(uint8_t* buffer, size_t size) override {
    const int n = recv(s_, reinterpret_cast<char*>(buffer),
                       static_cast<int>(std::min<size_t>(size, INT_MAX)), 0);
    if (n > 0) return {static_cast<size_t>(n), ERROR_SUCCESS};
    if (n == 0) return {0, ERROR_DEVICE_NOT_CONNECTED};
    if (WSAGetLastError() == WSAEWOULDBLOCK) return {};
    return {0, ERROR_DEVICE_NOT_CONNECTED};
  }

  void Wait(bool wantReceive, bool wantSend, const Deadline& deadline,
            uint64_t wakesSeen) override {
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    const SOCKET wake = TakeWakeSocket();
    if (Wakes() != wakesSeen) {
      if (wake != INVALID_SOCKET) GiveBack(wake);
      return;
    }
    if (wake != INVALID_SOCKET) FD_SET(wake, &readable);
    if (wantReceive) FD_SET(s_, &readable);
    if (wantSend) FD_SET(s_, &writable);
    timeval storage{}, *timeout = nullptr;
    Timeval(deadline, storage, timeout);
    // Without a wake socket of its own the thread looks again soon.
    timeval soon{0, 10000};
    if (wake == INVALID_SOCKET && (!timeout || timeout->tv_sec > 0 || timeout->tv_usec > 10000)) {
      timeout = &soon;
    }
    select(0, &readable, &writable, nullptr, timeout);
    if (wake != INVALID_SOCKET) GiveBack(wake);
  }

  void Wake() override {
    CountWake();
    std::lock_guard lock(mutex_);
    const char one = 1;
    for (SOCKET wake : waiting_) send(wake, &one, 1, 0);
  }

 private:
  // A wake socket for the calling thread's wait, on the list of those a
  // wake-up reaches; INVALID_SOCKET when none can be had.
  SOCKET TakeWakeSocket() {
    SOCKET wake = INVALID_SOCKET;
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        wake = idle_.back();
        idle_.pop_back();
      }
    }
    if (wake == INVALID_SOCKET) wake = WakeSocket();
    if (wake == INVALID_SOCKET) return wake;
    try {
      std::lock_guard lock(mutex_);
      waiting_.push_back(wake);
    } catch (...) {
      closesocket(wake);
      return INVALID_SOCKET;
    }
    return wake;
  }
  // Off the list, emptied of the wake-ups that came, and back in the pool.
  void GiveBack(SOCKET wake) {
    char drain[64];
    std::lock_guard lock(mutex_);
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), wake));
    while (recv(wake, drain, sizeof drain, 0) > 0) {
    }
    try {
      idle_.push_back(wake);
    } catch (...) {
      closesocket(wake);
    }
  }

  const SOCKET s_;
  std::mutex mutex_;
  std::vector<SOCKET> idle_;     // wake sockets no thread waits on
  std::vector<SOCKET> waiting_;  // those of the threads waiting now
};

SOCKET WakeSocket() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof a;
  u_long nonBlocking = 1;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

DWORD ConnectError(int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return net::kErrorConnectionRefused;
    case WSAENETUNREACH:
    case WSAENETDOWN:
    // No address of this host's own to reach it from (an IPv6 address on a
    // host with none, an interface that is down), or no IPv6 at all.
    case WSAEADDRNOTAVAIL:
    case WSAEAFNOSUPPORT:
      return net::kErrorNetworkUnreachable;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
      return net::kErrorHostUnreachable;
    case WSAETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// A host-name look-up Winsock runs on a thread of its own, writing into this
// until it is done and signals the event.
struct Lookup {
  std::wstring host, service;
  ADDRINFOEXW hints{};
  ADDRINFOEXW* found = nullptr;
  OVERLAPPED overlapped{};
  HANDLE cancel = nullptr;
};

// Look-ups given up on at their deadline, freed once Winsock is done with
// them. The list is made with the first of them and never destroyed, as a
// look-up may still be running when the DLL is unloaded (Winsock then writes
// into memory that stays allocated, and no code of ours runs).
std::mutex gAbandonedMutex;
std::vector<Lookup*>* gAbandoned = nullptr;

bool Done(const Lookup& lookup) {
  return WaitForSingleObject(lookup.overlapped.hEvent, 0) == WAIT_OBJECT_0;
}

void FreeLookup(Lookup* lookup) {
  if (lookup->found) FreeAddrInfoExW(lookup->found);
  ::CloseHandle(lookup->overlapped.hEvent);
  delete lookup;
}

void FreeFinishedLookups() {
  std::lock_guard lock(gAbandonedMutex);
  if (!gAbandoned) return;
  const auto done = std::stable_partition(gAbandoned->begin(), gAbandoned->end(),
                                          [](Lookup* l) { return !Done(*l); });
  std::for_each(done, gAbandoned->end(), FreeLookup);
  gAbandoned->erase(done, gAbandoned->end());
}

// Windows 8 and later give these, and run a look-up on a thread of their
// own; before them a look-up runs to its end on the caller's.
using CancelFunction = INT(WSAAPI*)(LPHANDLE);
using ResultFunction = INT(WSAAPI*)(LPOVERLAPPED);
template <class Function>
Function Ws2Function(const char* name) {
  const HMODULE ws2 = GetModuleHandleW(L"ws2_32.dll");
  return ws2 ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ws2, name)))
             : nullptr;
}

std::wstring Widened(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

// The host's addresses, by the deadline: a name server that does not answer
// holds the open no longer than the connect time, which then gives
// ERROR_SEM_TIMEOUT as a connect that takes too long.
DWORD Resolve(const net::NetworkPortName& name, Clock::time_point deadline, ADDRINFOEXW*& found) {
  FreeFinishedLookups();
  auto lookup = std::make_unique<Lookup>();
  lookup->host = Widened(name.host);
  lookup->service = std::to_wstring(name.port);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_protocol = IPPROTO_TCP;
  lookup->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!lookup->overlapped.hEvent) return ERROR_NOT_ENOUGH_MEMORY;
  static const auto cancel = Ws2Function<CancelFunction>("GetAddrInfoExCancel");
  INT status =
      cancel ? GetAddrInfoExW(lookup->host.c_str(), lookup->service.c_str(), NS_ALL, nullptr,
                              &lookup->hints, &lookup->found, nullptr, &lookup->overlapped, nullptr,
                              &lookup->cancel)
             : GetAddrInfoExW(lookup->host.c_str(), lookup->service.c_str(), NS_ALL, nullptr,
                              &lookup->hints, &lookup->found, nullptr, nullptr, nullptr, nullptr);
  if (status == WSA_IO_PENDING) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    const DWORD wait = left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
    if (WaitForSingleObject(lookup->overlapped.hEvent, wait) != WAIT_OBJECT_0) {
      cancel(&lookup->cancel);  // Wine's does nothing: the look-up is then left to end
      if (Done(*lookup)) {
        FreeLookup(lookup.release());
      } else {
        std::lock_guard lock(gAbandonedMutex);
        if (!gAbandoned) gAbandoned = new (std::nothrow) std::vector<Lookup*>;
        if (gAbandoned) {
          try {
            gAbandoned->push_back(lookup.get());
          } catch (...) {
          }
        }
        lookup.release();  // kept for Winsock, listed or not
      }
      return ERROR_SEM_TIMEOUT;
    }
    const auto result = Ws2Function<ResultFunction>("GetAddrInfoExOverlappedResult");
    status = result ? result(&lookup->overlapped) : static_cast<INT>(lookup->overlapped.Internal);
  }
  if (status == WSA_NOT_ENOUGH_MEMORY) {
    FreeLookup(lookup.release());
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (status != 0) {
    FreeLookup(lookup.release());
    return net::kErrorBadNetPath;
  }
  found = std::exchange(lookup->found, nullptr);
  FreeLookup(lookup.release());
  return ERROR_SUCCESS;
}

DWORD Connect(const net::NetworkPortName& name, Clock::time_point deadline, SOCKET& connected) {
  ADDRINFOEXW* found = nullptr;
  if (const DWORD error = Resolve(name, deadline, found); error != ERROR_SUCCESS) return error;
  DWORD error = net::kErrorBadNetPath;
  // (mingw-w64 declares ai_next as a pointer to a struct of another name.)
  for (const ADDRINFOEXW* a = found; a != nullptr;
       a = reinterpret_cast<const ADDRINFOEXW*>(a->ai_next)) {
    if (a->ai_socktype != SOCK_STREAM) continue;  // what an older Wine gives despite the hints
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      error = ConnectError(WSAGetLastError());
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int failure = 0;
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      failure = WSAGetLastError();
      if (failure == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval storage{}, *timeout = nullptr;
        Timeval(deadline, storage, timeout);
        if (select(0, nullptr, &writable, &failed, timeout) <= 0) {
          failure = WSAETIMEDOUT;
        } else {
          int length = sizeof failure;
          failure = 0;
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length);
          if (failure == 0 && FD_ISSET(s, &failed)) failure = WSAECONNREFUSED;
        }
      }
    }
    if (failure == 0) {
      FreeAddrInfoExW(found);
      const BOOL on = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
      connected = s;
      return ERROR_SUCCESS;
    }
    closesocket(s);
    error = ConnectError(failure);
    if (Clock::now() >= deadline) break;
  }
  FreeAddrInfoExW(found);
  return error;
}

using NetworkDevice = net::NetworkPortDevice;

// Handle values no kernel handle takes (those are multiples of four).
class Handles {
 public:
  static Handles& Process() {
    static Handles handles;
    return handles;
  }
  Handle32 Insert(std::shared_ptr<Device> device) {
    std::lock_guard lock(mutex_);
    const Handle32 h = static_cast<Handle32>(((next_++ & 0x0FFFFFFFu) << 2) | 3u);
    devices_[h] = std::move(device);
    return h;
  }
  std::shared_ptr<Device> Find(Handle32 h) {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(h);
    return it == devices_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Device> Remove(Handle32 h) {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(h);
    if (it == devices_.end()) return nullptr;
    std::shared_ptr<Device> device = std::move(it->second);
    devices_.erase(it);
    return device;
  }

 private:
  std::mutex mutex_;
  std::map<Handle32, std::shared_ptr<Device>> devices_;
  uint32_t next_ = 1;
};

BOOL Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

template <class Operation>
BOOL OnDevice(Handle32 handle, Operation operation) {
  std::shared_ptr<Device> device = Handles::Process().Find(handle);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  DWORD error = ERROR_SUCCESS;
  try {
    error = operation(*device);
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  // Let go of the device before the error is set: when the port was closed
  // during the call, this thread holds it last, and hanging up calls
  // Winsock, which sets the thread's last error.
  device.reset();
  if (error != ERROR_SUCCESS) return Fail(error);
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::optional<unsigned> ComPortNumber(std::string name) {
  bool devicePrefix = false;
  if (name.rfind("\\\\.\\", 0) == 0) {
    name.erase(0, 4);
    devicePrefix = true;
  }
  if (name.size() < 4 || (name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
      (name[2] != 'M' && name[2] != 'm')) {
    return std::nullopt;
  }
  name.erase(0, 3);
  if (!devicePrefix && name.back() == ':') name.pop_back();
  if (name.empty() || name.size() > 9 || name[0] == '0') return std::nullopt;
  unsigned n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

}  // namespace

DWORD MappedName(const char* name, std::string* mapped) {
  *mapped = name;
  const std::optional<unsigned> port = ComPortNumber(name);
  if (!port) return ERROR_SUCCESS;
  const std::string value = "COM" + std::to_string(*port);
  std::string data(256, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    const LONG r = RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Kavrel\\Ports", value.c_str(),
                                RRF_RT_REG_SZ, nullptr, data.data(), &size);
    if (r == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // no map, or no entry for this port
    if (r == ERROR_MORE_DATA && size > data.size() && size <= kLongestMapping) {
      data.resize(size);
      continue;
    }
    if (r != ERROR_SUCCESS) return ERROR_BADDB;
    data.resize(strnlen(data.data(), std::min<size_t>(size, data.size())));
    if (data.empty()) return ERROR_BADDB;
    *mapped = std::move(data);
    return ERROR_SUCCESS;
  }
}

bool IsNetworkName(const std::string& name) { return net::IsNetworkPortName(name); }

Handle32 Open(const std::string& name, DWORD desiredAccess) {
  const auto fail = [](DWORD error) {
    ::SetLastError(error);
    return kInvalidHandle;
  };
  const std::optional<net::NetworkPortName> parsed = net::ParseNetworkPortName(name);
  if (!parsed) return fail(kInvalidName);
  if (!Winsock()) return fail(ERROR_NOT_SUPPORTED);
  try {
    SOCKET s = INVALID_SOCKET;
    if (const DWORD error = Connect(*parsed, Clock::now() + kConnectTime, s);
        error != ERROR_SUCCESS) {
      return fail(error);
    }
    const SOCKET wake = WakeSocket();
    if (wake == INVALID_SOCKET) {
      closesocket(s);
      return fail(ERROR_GEN_FAILURE);
    }
    std::unique_ptr<net::Transport> transport;
    try {
      transport = std::make_unique<WinsockTransport>(s, wake);
    } catch (...) {
      closesocket(wake);
      closesocket(s);
      throw;
    }
    const bool canRead = desiredAccess & (GENERIC_READ | GENERIC_ALL | 1u);
    const bool canWrite = desiredAccess & (GENERIC_WRITE | GENERIC_ALL | 2u);
    auto device = std::make_shared<NetworkDevice>(std::move(transport), canRead, canWrite);
    if (const DWORD error = device->port().Negotiate(Clock::now() + kNegotiationTime);
        error != ERROR_SUCCESS) {
      device.reset();  // hanging up calls Winsock, which sets the thread's last error
      return fail(error);
    }
    const Handle32 h = Handles::Process().Insert(std::move(device));
    ::SetLastError(ERROR_SUCCESS);
    return h;
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

// Every such value is this table's, open or not: passed to kernel32, which
// ignores the two low bits, a stale one would reach some other handle.
bool IsNetworkHandle(Handle32 handle) { return (handle & 3) == 3 && handle != kInvalidHandle; }

BOOL SetupComm(Handle32 file, DWORD inQueue, DWORD outQueue) {
  return OnDevice(file, [&](Device& d) { return d.SetQueueSizes(inQueue, outQueue); });
}

BOOL PurgeComm(Handle32 file, DWORD flags) {
  return OnDevice(file, [&](Device& d) { return posix::calls::Purge(d, flags); });
}

BOOL SetCommTimeouts(Handle32 file, COMMTIMEOUTS* timeouts) {
  return OnDevice(file, [&](Device& d) { return posix::calls::SetTimeouts(d, timeouts); });
}

BOOL GetCommState(Handle32 file, DCB* dcb) {
  return OnDevice(file, [&](Device& d) { return posix::calls::GetState(d, dcb); });
}

BOOL SetCommState(Handle32 file, DCB* dcb) {
  return OnDevice(file, [&](Device& d) { return posix::calls::SetState(d, dcb); });
}

BOOL CloseHandle(Handle32 object) {
  std::shared_ptr<Device> device = Handles::Process().Remove(object);
  if (!device) return Fail(ERROR_INVALID_HANDLE);
  posix::calls::Close(*device);
  device.reset();  // hangs up here when no call holds it
  ::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) {
  return OnDevice(file, [&](Device& d) { return posix::calls::ClearErrors(d, errors, stat); });
}

BOOL ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read) {
  if (read) *read = 0;
  return OnDevice(file, [&](Device& d) { return posix::calls::Read(d, buffer, toRead, read); });
}

BOOL WriteFile(Handle32 file, const void* buffer, DWORD toWrite, DWORD* written) {
  if (written) *written = 0;
  return OnDevice(file,
                  [&](Device& d) { return posix::calls::Write(d, buffer, toWrite, written); });
}

BOOL GetOverlappedResult(Handle32 file, OVERLAPPED* overlapped, DWORD* transferred) {
  return OnDevice(
      file, [&](Device& d) { return posix::calls::LastTransfer(d, overlapped, transferred); });
}

BOOL GetCommModemStatus(Handle32 file, DWORD* modemStat) {
  return OnDevice(file, [&](Device& d) { return posix::calls::ModemStatus(d, modemStat); });
}

BOOL EscapeCommFunction(Handle32 file, DWORD func) {
  return OnDevice(file, [&](Device& d) { return posix::calls::Escape(d, func); });
}

}  // namespace kavrel::platform::win32::network
