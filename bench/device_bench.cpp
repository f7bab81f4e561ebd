// The port layer over the Linux device layer against the raw system calls
// that do the same work, side by side in paired rounds (bench/paired.h):
//  - CommWrite against write(2) on a descriptor opened the way the device
//    layer opens its own (non-blocking, poll when full), in 1024- and 64-byte
//    pieces, with a plain-ASCII payload and one holding all 256 byte values,
//    the two taking turns in batches on one line and only the write calls
//    timed; the far end checks every byte;
//  - CommRead with N bytes waiting against read(2) of the same N bytes, and
//    for reference the least a read that returns text must do (read(2) and
//    the text made from its bytes) against read(2) alone;
//  - CommRead with nothing waiting against one FIONREAD;
//  - the built-in null-modem against a raw pseudo-terminal pair, streaming.
// Each line prints the median ratio of the rounds with its range, wall clock
// and CPU, and whether the goal beside it is met.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "component/comms_object.h"
#include "paired.h"

namespace {

using namespace kavrel;
using bench::Accumulated;
using bench::Cost;
using bench::Goal;
using bench::Seconds;
using bench::Stopwatch;

constexpr short kSlot = 1;

// A byte pattern with a period of 256, so that pieces of 64 and 1024 bytes
// line up with it.
struct Payload {
  const char* name;
  std::vector<unsigned char> period;  // 256 bytes
  unsigned char at(size_t offset) const { return period[offset % period.size()]; }
};

Payload Ascii() {
  Payload p{"ASCII", {}};
  for (int i = 0; i < 256; ++i) p.period.push_back(static_cast<unsigned char>(0x21 + i % 94));
  return p;
}

Payload AllBytes() {
  Payload p{"all 256 byte values", {}};
  for (int i = 0; i < 256; ++i) p.period.push_back(static_cast<unsigned char>(i));
  return p;
}

std::u16string TextOf(const unsigned char* bytes, size_t size) {
  return platform::NativeRuntime().text.FromAnsi(reinterpret_cast<const char*>(bytes), size);
}

BSTR NewBstr(const std::u16string& text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                           static_cast<UINT>(text.size()));
}

bool WaitFor(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, 5000) > 0;
}

// One pseudo-terminal: the comms object holds the slave in slot 1, and a
// raw descriptor on the same slave, opened as the device layer opens its
// own, serves the baselines.
struct Line {
  int master = -1;
  int raw = -1;
  _comms* comms = nullptr;
  bool ready = false;

  Line() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    close(slave);
    raw = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // before CommOpen locks it
    void* p = nullptr;
    CommsObject::Create(platform::NativeRuntime(), IID__comms, &p);
    comms = static_cast<_comms*>(p);
    std::u16string path(name, name + std::strlen(name));
    BSTR port = NewBstr(path);
    BSTR settings = NewBstr(u"baud=115200 parity=N data=8 stop=1");
    short slot = kSlot;
    LONG result = -1;
    comms->CommOpen(&slot, &port, &settings, &result);
    SysFreeString(port);
    SysFreeString(settings);
    ready = raw >= 0 && result == 0;
  }
};

// Reads the far end until `total` bytes have come, checking each against
// the payload.
class Verifier {
 public:
  Verifier(int fd, const Payload& payload, size_t total)
      : thread_([this, fd, &payload, total] {
          std::vector<unsigned char> buffer(1 << 16);
          size_t got = 0;
          while (got < total) {
            if (!WaitFor(fd, POLLIN)) break;
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i) {
              if (buffer[i] != payload.at(got + i)) {
                ok_ = false;
                return;
              }
            }
            got += static_cast<size_t>(n);
          }
          ok_ = got == total;
        }) {}
  bool Finish() {
    thread_.join();
    return ok_;
  }

 private:
  std::atomic<bool> ok_{false};
  std::thread thread_;
};

// Writes one piece (starting at a multiple of the piece size in the
// payload's stream) on the raw descriptor, waiting while the queue is full.
bool WriteRawPiece(Line& line, const std::vector<unsigned char>& period, size_t piece,
                   size_t start) {
  for (size_t done = 0; done < piece;) {
    const ssize_t n = write(line.raw, period.data() + (start + done) % 256, piece - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitFor(line.raw, POLLOUT)) return false;
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Raw write(2) and CommWrite take turns on the same line, a batch of pieces
// each, and only the write calls are timed: both sides meet the same
// far end, the same queue and the same scheduler, stretch by stretch. The
// far end checks the one stream they make together.
void WriteTogether(Line& line, const Payload& payload, size_t piece, size_t total,
                   bool baselineFirst, Cost& raw, Cost& comms) {
  // The payload's period twice over, so that a piece starting anywhere in it
  // is contiguous; and one text for each place a piece can start.
  std::vector<unsigned char> period(512 + piece);
  for (size_t i = 0; i < period.size(); ++i) period[i] = payload.at(i);
  std::vector<BSTR> texts;
  for (size_t start = 0; start < 256 || texts.empty(); start += piece) {
    texts.push_back(NewBstr(TextOf(period.data() + start % 256, piece)));
    if (piece >= 256) break;
  }
  const size_t batch = std::max<size_t>(1, 32768 / piece);  // pieces per turn
  Verifier verifier(line.master, payload, 2 * total);
  Accumulated rawSum, commsSum;
  bool failed = false;
  size_t sent = 0;
  const auto rawTurn = [&] {
    const Stopwatch watch;
    for (size_t i = 0; i < batch && !failed; ++i, sent += piece) {
      failed = !WriteRawPiece(line, period, piece, sent);
    }
    rawSum.Add(watch.Stop());
  };
  const auto commsTurn = [&] {
    const Stopwatch watch;
    for (size_t i = 0; i < batch && !failed; ++i, sent += piece) {
      short slot = kSlot;
      LONG n = 0;
      line.comms->CommWrite(&slot, &texts[(sent % 256) / piece % texts.size()], &n);
      failed = n != static_cast<LONG>(piece);
    }
    commsSum.Add(watch.Stop());
  };
  for (bool rawFirst = baselineFirst; sent < 2 * total && !failed; rawFirst = !rawFirst) {
    if (rawFirst) {
      rawTurn();
      commsTurn();
    } else {
      commsTurn();
      rawTurn();
    }
  }
  const bool verified = verifier.Finish() && sent == 2 * total;
  raw = rawSum.total;
  comms = commsSum.total;
  raw.failed = comms.failed = failed || !verified;
  for (BSTR t : texts) SysFreeString(t);
}

// Puts `size` bytes of the payload in the slave's input queue and waits until
// all of them are there.
bool Prime(Line& line, const std::vector<unsigned char>& bytes) {
  if (write(line.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    return false;
  for (int spin = 0; spin < 1000000; ++spin) {
    int waiting = 0;
    if (ioctl(line.raw, FIONREAD, &waiting) == 0 && waiting >= static_cast<int>(bytes.size()))
      return true;
    if (spin > 1000) usleep(10);
  }
  return false;
}

constexpr int kReadsPerRound = 2000;

// Only the read call itself is timed, so the ratio is of like with like.
// Timing single calls of a microsecond, the CPU clock (a system call of its
// own) is left out: wall clock only.
Cost ReadRawWaiting(Line& line, const std::vector<unsigned char>& bytes) {
  Accumulated sum;
  std::vector<unsigned char> buffer(bytes.size());
  for (int i = 0; i < kReadsPerRound && !sum.total.failed; ++i) {
    if (!Prime(line, bytes)) return {0, 0, true};
    const double start = Seconds(CLOCK_MONOTONIC);
    const ssize_t n = read(line.raw, buffer.data(), buffer.size());
    sum.total.wall += Seconds(CLOCK_MONOTONIC) - start;
    sum.total.failed = n != static_cast<ssize_t>(bytes.size()) || buffer != bytes;
  }
  sum.total.cpu = -1;
  return sum.total;
}

Cost ReadCommsWaiting(Line& line, const std::vector<unsigned char>& bytes) {
  Accumulated sum;
  const std::u16string expected = TextOf(bytes.data(), bytes.size());
  for (int i = 0; i < kReadsPerRound && !sum.total.failed; ++i) {
    if (!Prime(line, bytes)) return {0, 0, true};
    short slot = kSlot;
    LONG size = static_cast<LONG>(bytes.size());
    BSTR text = nullptr;
    LONG n = 0;
    const double start = Seconds(CLOCK_MONOTONIC);
    line.comms->CommRead(&slot, &text, &size, &n);
    sum.total.wall += Seconds(CLOCK_MONOTONIC) - start;
    sum.total.failed = n != static_cast<LONG>(bytes.size()) ||
                       SysStringLen(text) != expected.size() ||
                       std::memcmp(text, expected.data(), expected.size() * sizeof(char16_t)) != 0;
    SysFreeString(text);
  }
  sum.total.cpu = -1;
  return sum.total;
}

// The least any CommRead has to do with bytes waiting: one read, and the
// text made from them. Set beside raw read, it shows how much of the goal
// is left for everything else.
Cost ReadLeastWaiting(Line& line, const std::vector<unsigned char>& bytes) {
  Accumulated sum;
  const std::u16string expected = TextOf(bytes.data(), bytes.size());
  platform::TextCodec& codec = platform::NativeRuntime().text;
  std::vector<char> buffer(bytes.size());
  for (int i = 0; i < kReadsPerRound && !sum.total.failed; ++i) {
    if (!Prime(line, bytes)) return {0, 0, true};
    const double start = Seconds(CLOCK_MONOTONIC);
    const ssize_t n = read(line.raw, buffer.data(), buffer.size());
    const BSTR text = codec.FromAnsiBstr(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
    sum.total.wall += Seconds(CLOCK_MONOTONIC) - start;
    sum.total.failed = SysStringLen(text) != expected.size() ||
                       std::memcmp(text, expected.data(), expected.size() * sizeof(char16_t)) != 0;
    SysFreeString(text);
  }
  sum.total.cpu = -1;
  return sum.total;
}

constexpr int kIdleReads = 20000;

Cost IdleRaw(Line& line) {
  const Stopwatch watch;
  bool failed = false;
  for (int i = 0; i < kIdleReads; ++i) {
    int waiting = -1;
    failed |= ioctl(line.raw, FIONREAD, &waiting) != 0 || waiting != 0;
  }
  Cost cost = watch.Stop();
  cost.failed = failed;
  return cost;
}

Cost IdleComms(Line& line) {
  const Stopwatch watch;
  bool failed = false;
  for (int i = 0; i < kIdleReads; ++i) {
    short slot = kSlot;
    LONG size = 64;
    BSTR text = nullptr;
    LONG n = -1;
    line.comms->CommRead(&slot, &text, &size, &n);
    failed |= n != 0;
    SysFreeString(text);
  }
  Cost cost = watch.Stop();
  cost.failed = failed;
  return cost;
}

// Streaming from one end to the other: a writer thread in 1024-byte pieces,
// the reader here checking every byte. CPU time is the whole process's.
constexpr size_t kStreamPiece = 1024;

Cost StreamPty(const Payload& payload, size_t total) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {0, 0, true};
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, O_NONBLOCK);
  fcntl(slave, F_SETFL, O_NONBLOCK);
  std::vector<unsigned char> bytes(256 + kStreamPiece);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = payload.at(i);
  const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
  std::thread writer([&] {
    for (size_t sent = 0; sent < total;) {
      const ssize_t n =
          write(master, bytes.data() + sent % 256, kStreamPiece - sent % kStreamPiece);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN && !WaitFor(master, POLLOUT)) {
        return;
      }
    }
  });
  std::vector<unsigned char> buffer(kStreamPiece);
  bool ok = true;
  size_t got = 0;
  while (got < total && ok) {
    const ssize_t n = read(slave, buffer.data(), buffer.size());
    if (n > 0) {
      for (ssize_t i = 0; i < n && ok; ++i) ok = buffer[i] == payload.at(got + i);
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      ok = WaitFor(slave, POLLIN);
    }
  }
  writer.join();
  Cost cost = watch.Stop();
  cost.failed = !ok || got != total;
  close(master);
  close(slave);
  return cost;
}

Cost StreamNullModem(const Payload& payload, size_t total) {
  platform::Platform& device = platform::NativeRuntime().device;
  const platform::Handle32 a = device.CreateFileA("NULLMODEM9A", GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, 0);
  const platform::Handle32 b = device.CreateFileA("NULLMODEM9B", GENERIC_READ | GENERIC_WRITE, 0,
                                                  nullptr, OPEN_EXISTING, 0, 0);
  if (a == platform::kInvalidHandle || b == platform::kInvalidHandle) return {0, 0, true};
  COMMTIMEOUTS returnOnArrival{MAXDWORD, MAXDWORD, 1000, 0, 0};
  device.SetCommTimeouts(b, &returnOnArrival);
  std::vector<unsigned char> bytes(256 + kStreamPiece);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = payload.at(i);
  const Stopwatch watch(CLOCK_PROCESS_CPUTIME_ID);
  std::thread writer([&] {
    OVERLAPPED o{};
    for (size_t sent = 0; sent < total;) {
      DWORD n = 0;
      if (!device.WriteFile(a, bytes.data() + sent % 256, kStreamPiece, &n, &o) && n == 0) return;
      sent += n;
    }
  });
  std::vector<unsigned char> buffer(kStreamPiece);
  bool ok = true;
  size_t got = 0;
  OVERLAPPED o{};
  while (got < total && ok) {
    DWORD n = 0;
    ok = device.ReadFile(b, buffer.data(), kStreamPiece, &n, &o) && n > 0;
    for (DWORD i = 0; i < n && ok; ++i) ok = buffer[i] == payload.at(got + i);
    got += n;
  }
  writer.join();
  Cost cost = watch.Stop();
  cost.failed = !ok || got != total;
  device.CloseHandle(a);
  device.CloseHandle(b);
  return cost;
}

}  // namespace

int main(int argc, char** argv) {
  // bench/device_bench [rounds]; fewer rounds for a quick look.
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
  Line line;
  if (!line.ready) {
    std::fprintf(stderr, "device_bench: no pseudo-terminal could be opened\n");
    return 1;
  }
  bench::PairedRuns runs(rounds);
  std::printf("Kavrel against the raw system calls; ratio median [range] of %d paired rounds\n\n",
              rounds);
  const Payload payloads[] = {Ascii(), AllBytes()};
  for (const Payload& payload : payloads) {
    for (const size_t piece : {size_t{1024}, size_t{64}}) {
      const size_t total = piece == 1024 ? size_t{8} << 20 : size_t{1} << 20;
      const std::string name =
          "CommWrite " + std::to_string(piece) + "-byte pieces, " + payload.name + " / write";
      runs.CompareTogether(name, Goal::Speed, piece == 1024 ? 0.95 : 0.9,
                           [&](bool baselineFirst, Cost& raw, Cost& comms) {
                             WriteTogether(line, payload, piece, total, baselineFirst, raw, comms);
                           });
    }
  }
  for (const Payload& payload : payloads) {
    for (const size_t count : {size_t{1024}, size_t{64}}) {
      std::vector<unsigned char> bytes(count);
      for (size_t i = 0; i < count; ++i) bytes[i] = payload.at(i);
      runs.Compare(
          "CommRead of " + std::to_string(count) + " waiting bytes, " + payload.name + " / read",
          Goal::Speed, 0.9, [&] { return ReadRawWaiting(line, bytes); },
          [&] { return ReadCommsWaiting(line, bytes); });
    }
  }
  {
    std::vector<unsigned char> bytes(64);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = payloads[0].at(i);
    runs.Compare(
        "for reference: read + its text, 64 bytes / read", Goal::None, 0,
        [&] { return ReadRawWaiting(line, bytes); }, [&] { return ReadLeastWaiting(line, bytes); });
  }
  runs.Compare(
      "CommRead with nothing waiting / FIONREAD", Goal::Cost, 1.5, [&] { return IdleRaw(line); },
      [&] { return IdleComms(line); });
  for (const Payload& payload : payloads) {
    runs.Compare(
        std::string("null-modem stream 16 MiB, ") + payload.name + " / pty pair", Goal::Speed, 1.0,
        [&] { return StreamPty(payload, size_t{16} << 20); },
        [&] { return StreamNullModem(payload, size_t{16} << 20); });
  }
  return runs.Finish();
}
