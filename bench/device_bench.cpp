// The Linux device layer under the port layer: 16 MiB through one
// pseudo-terminal pair with CommWrite/CommRead in 1024- and 64-byte pieces
// against raw write/read on the same pair, and a CommRead that finds nothing
// waiting against one FIONREAD ioctl. The far end (the pty master) is served
// by a second thread in both runs of a pair.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "component/comms_object.h"
#include "ratio_reporter.h"

namespace {

using namespace kavrel;

constexpr size_t kTotal = size_t{16} << 20;
constexpr short kSlot = 1;
constexpr int kRounds = 5;

// One pty pair for the whole run: the comms object holds the slave in slot 1,
// a raw descriptor on the same slave serves the baselines.
struct Line {
  int master = -1;
  int raw = -1;
  _comms* comms = nullptr;
  bool ready = false;

  static Line& Get() {
    static Line line;
    return line;
  }

 private:
  Line() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    close(slave);
    raw = open(name, O_RDWR | O_NOCTTY);  // before CommOpen makes the line exclusive
    void* p = nullptr;
    CommsObject::Create(platform::NativeRuntime(), IID__comms, &p);
    comms = static_cast<_comms*>(p);
    std::u16string path(name, name + std::char_traits<char>::length(name));
    BSTR port = SysAllocString(reinterpret_cast<const OLECHAR*>(path.c_str()));
    BSTR settings =
        SysAllocString(reinterpret_cast<const OLECHAR*>(u"baud=115200 parity=N data=8 stop=1"));
    short slot = kSlot;
    LONG result = -1;
    comms->CommOpen(&slot, &port, &settings, &result);
    SysFreeString(port);
    SysFreeString(settings);
    ready = raw >= 0 && result == 0;
  }
};

// Reads the master side as fast as it comes, counting.
class Drain {
 public:
  explicit Drain(int fd)
      : thread_([this, fd] {
          std::vector<char> buffer(1 << 16);
          while (!stop_.load(std::memory_order_relaxed)) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n > 0) got_.fetch_add(static_cast<size_t>(n), std::memory_order_relaxed);
          }
        }) {}
  ~Drain() {
    stop_ = true;
    thread_.join();
  }
  size_t got() const { return got_.load(std::memory_order_relaxed); }
  void AwaitTotal(size_t total) const {
    while (got() < total) usleep(100);
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<size_t> got_{0};
  std::thread thread_;
};

// Writes kTotal bytes into the master side.
std::thread Feed(int fd) {
  return std::thread([fd] {
    const std::string chunk(1 << 16, 'f');
    size_t sent = 0;
    while (sent < kTotal) {
      const ssize_t n = write(fd, chunk.data(), std::min(chunk.size(), kTotal - sent));
      if (n > 0) sent += static_cast<size_t>(n);
    }
  });
}

bool Ready(benchmark::State& state) {
  if (Line::Get().ready) return true;
  state.SkipWithError("no pseudo-terminal");
  return false;
}

// What one 16 MiB transfer took: wall-clock time until the far end had it
// all, and the CPU time of the calling thread (what the layer costs the
// caller, whatever else the machine is doing).
struct Cost {
  double wall = 0;
  double cpu = 0;
  bool failed = false;
};

class Timer {
 public:
  Timer() : wall_(std::chrono::steady_clock::now()), cpu_(ThreadCpu()) {}
  Cost Stop() const {
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count(),
            ThreadCpu() - cpu_};
  }

 private:
  static double ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

using Transfer = Cost (*)(Line& line, size_t piece);

Cost WriteRaw(Line& line, size_t piece) {
  const std::string data(piece, 'w');
  Drain drain(line.master);
  const Timer timer;
  for (size_t sent = 0; sent < kTotal;) {
    const ssize_t n = write(line.raw, data.data(), piece);
    if (n > 0) sent += static_cast<size_t>(n);
  }
  drain.AwaitTotal(kTotal);
  return timer.Stop();
}

Cost WriteComms(Line& line, size_t piece) {
  const std::u16string text(piece, u'w');
  BSTR data = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                static_cast<UINT>(text.size()));
  Drain drain(line.master);
  const Timer timer;
  bool failed = false;
  for (size_t sent = 0; sent < kTotal && !failed;) {
    short slot = kSlot;
    LONG n = 0;
    line.comms->CommWrite(&slot, &data, &n);
    failed = n < 0;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  if (!failed) drain.AwaitTotal(kTotal);
  Cost cost = timer.Stop();
  cost.failed = failed;
  SysFreeString(data);
  return cost;
}

// The device layer alone: WriteFile on the handle the comms object holds.
Cost WriteDevice(Line& line, size_t piece) {
  const std::string data(piece, 'w');
  platform::Platform& device = platform::NativeRuntime().device;
  const platform::Handle32 handle =
      static_cast<CommsObject*>(line.comms)->portTable[kSlot - 1].lngHandle;
  Drain drain(line.master);
  const Timer timer;
  bool failed = false;
  OVERLAPPED overlapped{};
  for (size_t sent = 0; sent < kTotal && !failed;) {
    DWORD n = 0;
    failed = !device.WriteFile(handle, data.data(), static_cast<DWORD>(piece), &n, &overlapped);
    sent += n;
  }
  if (!failed) drain.AwaitTotal(kTotal);
  Cost cost = timer.Stop();
  cost.failed = failed;
  return cost;
}

Cost ReadRaw(Line& line, size_t piece) {
  std::vector<char> buffer(piece);
  const Timer timer;
  std::thread feeder = Feed(line.master);
  for (size_t got = 0; got < kTotal;) {
    const ssize_t n = read(line.raw, buffer.data(), piece);
    if (n > 0) got += static_cast<size_t>(n);
  }
  feeder.join();
  return timer.Stop();
}

// CommRead asks for the larger of the piece and what waits (at most 1024
// bytes); with nothing waiting it returns 0 and the loop waits for input, as
// a host would.
Cost ReadComms(Line& line, size_t piece) {
  LONG size = static_cast<LONG>(piece);
  const Timer timer;
  std::thread feeder = Feed(line.master);
  bool failed = false;
  for (size_t got = 0; got < kTotal && !failed;) {
    short slot = kSlot;
    BSTR data = nullptr;
    LONG n = 0;
    line.comms->CommRead(&slot, &data, &size, &n);
    SysFreeString(data);
    failed = n < 0;
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      pollfd p{line.raw, POLLIN, 0};
      poll(&p, 1, 100);
    }
  }
  feeder.join();
  Cost cost = timer.Stop();
  cost.failed = failed;
  return cost;
}

// The machine may be busy with other work: the raw and the comms transfer
// take turns, round after round, and each side reports its best round.
struct Comparison {
  Cost raw{1e9, 1e9};
  Cost comms{1e9, 1e9};
  bool failed = false;
};

void KeepBest(Cost& best, const Cost& round) {
  best.wall = std::min(best.wall, round.wall);
  best.cpu = std::min(best.cpu, round.cpu);
}

const Comparison& Compare(Transfer raw, Transfer comms, size_t piece) {
  static std::map<std::tuple<Transfer, Transfer, size_t>, Comparison> done;
  const auto key = std::make_tuple(raw, comms, piece);
  if (const auto found = done.find(key); found != done.end()) return found->second;
  Comparison result;
  for (int round = 0; round < kRounds && !result.failed; ++round) {
    const Cost r = raw(Line::Get(), piece);
    const Cost c = comms(Line::Get(), piece);
    result.failed = r.failed || c.failed;
    KeepBest(result.raw, r);
    KeepBest(result.comms, c);
  }
  return done[key] = result;
}

void Report(benchmark::State& state, Transfer raw, Transfer comms, bool kavrel, bool cpu) {
  if (!Ready(state)) return;
  const size_t piece = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    const Comparison& c = Compare(raw, comms, piece);
    if (c.failed) {
      state.SkipWithError("a transfer failed");
      break;
    }
    const Cost& cost = kavrel ? c.comms : c.raw;
    state.SetIterationTime(cpu ? cost.cpu : cost.wall);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void Write_baseline(benchmark::State& s, bool cpu) { Report(s, WriteRaw, WriteComms, false, cpu); }
void Write_kavrel(benchmark::State& s, bool cpu) { Report(s, WriteRaw, WriteComms, true, cpu); }
void WriteFile_baseline(benchmark::State& s, bool cpu) {
  Report(s, WriteRaw, WriteDevice, false, cpu);
}
void WriteFile_kavrel(benchmark::State& s, bool cpu) {
  Report(s, WriteRaw, WriteDevice, true, cpu);
}
void Read_baseline(benchmark::State& s, bool cpu) { Report(s, ReadRaw, ReadComms, false, cpu); }
void Read_kavrel(benchmark::State& s, bool cpu) { Report(s, ReadRaw, ReadComms, true, cpu); }

void IdleRead_baseline(benchmark::State& state) {
  if (!Ready(state)) return;
  const int fd = Line::Get().raw;
  int waiting = 0;
  for (auto _ : state) {
    ioctl(fd, FIONREAD, &waiting);
    benchmark::DoNotOptimize(waiting);
  }
}

void IdleRead_kavrel(benchmark::State& state) {
  if (!Ready(state)) return;
  _comms* comms = Line::Get().comms;
  LONG size = 64;
  for (auto _ : state) {
    short slot = kSlot;
    BSTR data = nullptr;
    LONG n = 0;
    comms->CommRead(&slot, &data, &size, &n);
    SysFreeString(data);
    benchmark::DoNotOptimize(n);
  }
}

void Pair(const std::string& name, void (*baseline)(benchmark::State&, bool),
          void (*kavrel)(benchmark::State&, bool), int piece) {
  for (const bool cpu : {false, true}) {
    const std::string label = name + (cpu ? ", caller's CPU" : ", wall clock");
    for (const bool ours : {false, true}) {
      benchmark::RegisterBenchmark((label + (ours ? "/kavrel" : "/baseline")).c_str(),
                                   ours ? kavrel : baseline, cpu)
          ->Arg(piece)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
}

const bool kRegistered = [] {
  Pair("pty 16 MiB write 1024-byte pieces", Write_baseline, Write_kavrel, 1024);
  Pair("pty 16 MiB write 64-byte pieces", Write_baseline, Write_kavrel, 64);
  Pair("pty 16 MiB WriteFile alone, 64-byte pieces", WriteFile_baseline, WriteFile_kavrel, 64);
  Pair("pty 16 MiB read 1024-byte pieces", Read_baseline, Read_kavrel, 1024);
  Pair("pty 16 MiB read 64-byte pieces", Read_baseline, Read_kavrel, 64);
  return true;
}();

BENCHMARK(IdleRead_baseline)->Name("read with nothing waiting/baseline");
BENCHMARK(IdleRead_kavrel)->Name("read with nothing waiting/kavrel");

}  // namespace

int main(int argc, char** argv) { return kavrel::bench::RunWithRatios(argc, argv); }
