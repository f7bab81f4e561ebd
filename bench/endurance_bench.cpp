// What a long-running host costs, printed as figures (no goals):
//  - open/close cycles of one pty: descriptors and resident memory before
//    and after;
//  - objects created and released: resident memory before and after;
//  - a polling loop over a device that has vanished, for some seconds: the
//    passes it made, and the share of one core it used.
// bench/endurance_bench [cycles] [objects] [seconds]
#include <dirent.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "component/comms_object.h"
#include "kavrel/kavrel.h"
#include "paired.h"

namespace {

using namespace kavrel;
using bench::Seconds;

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    --count;  // the directory's own
  }
  return count;
}

long ResidentKiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

_comms* NewObject() {
  void* p = nullptr;
  CommsObject::Create(platform::NativeRuntime(), IID__comms, &p);
  return static_cast<_comms*>(p);
}

BSTR NewBstr(const std::string& text) {
  const std::u16string wide(text.begin(), text.end());
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                           static_cast<UINT>(wide.size()));
}

struct Pty {
  int master = -1;
  std::string path;
  Pty() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      close(slave);
      path = name;
    }
  }
};

bool OpenCloseCycles(long cycles) {
  Pty pty;
  _comms* comms = NewObject();
  BSTR port = NewBstr(pty.path), mode = NewBstr("baud=9600 parity=N data=8 stop=1");
  // The first cycle settles what stays for the process's life (the handle
  // table, the codec, the thread's state).
  auto cycle = [&] {
    short slot = 1;
    LONG opened = -1, closed = -1;  // 0 and 0: both succeeded
    comms->CommOpen(&slot, &port, &mode, &opened);
    comms->CommClose(&slot, &closed);
    return opened == 0 && closed == 0;
  };
  bool ok = cycle();
  const int fdsBefore = OpenDescriptors();
  const long rssBefore = ResidentKiB();
  const double start = Seconds(CLOCK_MONOTONIC);
  for (long i = 0; i < cycles && ok; ++i) ok = cycle();
  const double took = Seconds(CLOCK_MONOTONIC) - start;
  std::printf(
      "%-44s %ld cycles in %.1f s (%.0f us each): descriptors %d -> %d, resident %ld -> %ld "
      "KiB%s\n",
      "CommOpen + CommClose of one pty", cycles, took, took / static_cast<double>(cycles) * 1e6,
      fdsBefore, OpenDescriptors(), rssBefore, ResidentKiB(), ok ? "" : " FAILED");
  SysFreeString(port);
  SysFreeString(mode);
  comms->Release();
  close(pty.master);
  return ok;
}

bool ObjectLifetimes(long objects) {
  NewObject()->Release();
  const int fdsBefore = OpenDescriptors();
  const long rssBefore = ResidentKiB();
  const double start = Seconds(CLOCK_MONOTONIC);
  bool ok = true;
  for (long i = 0; i < objects && ok; ++i) {
    _comms* comms = NewObject();
    ok = comms != nullptr && comms->put_BaudComm(9600) == S_OK;
    if (comms) comms->Release();
  }
  const double took = Seconds(CLOCK_MONOTONIC) - start;
  std::printf("%-44s %ld objects in %.1f s: descriptors %d -> %d, resident %ld -> %ld KiB%s\n",
              "create, use and release an object", objects, took, fdsBefore, OpenDescriptors(),
              rssBefore, ResidentKiB(), ok ? "" : " FAILED");
  return ok;
}

// The far end closes before the loop starts; the host's message pump ends
// the loop (CloseComm) once the time is up. Run last: after CloseComm no
// polling loop runs again on the thread.
bool VanishedDeviceLoop(double seconds) {
  Pty pty;
  setenv("KAVREL_COM4", pty.path.c_str(), 1);
  _comms* comms = NewObject();
  comms->put_PortComm(4);
  // Opened by the port layer: OpenComm would end every polling loop of the
  // thread before it starts.
  short slot = 4;
  BSTR port = NewBstr("COM4"), mode = NewBstr("baud=9600 parity=N data=8 stop=1");
  LONG opened = -1;
  comms->CommOpen(&slot, &port, &mode, &opened);
  SysFreeString(port);
  SysFreeString(mode);
  close(pty.master);
  struct Loop {
    _comms* comms;
    double until;
    long pumps = 0;        // one at the start of each pass, one in each CommRead
    std::u16string error;  // the record when the time was up
  } loop{comms, Seconds(CLOCK_MONOTONIC) + seconds, 0, {}};
  KavrelSetMessagePump(
      [](void* context) {
        auto* l = static_cast<Loop*>(context);
        ++l->pumps;
        if (!l->error.empty() || Seconds(CLOCK_MONOTONIC) < l->until) return;
        BSTR text = nullptr;
        LONG code = 0;
        l->comms->CommGetError(&text, &code);
        l->error = text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : u"?";
        SysFreeString(text);
        l->comms->CloseComm();
      },
      &loop);
  const double wall = Seconds(CLOCK_MONOTONIC), cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  const HRESULT looped = comms->looprocess();
  const double tookWall = Seconds(CLOCK_MONOTONIC) - wall;
  const double tookCpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
  KavrelSetMessagePump(nullptr, nullptr);
  const bool failing = loop.error.find(u"Error (1167)") == 0;
  const bool ok = opened == 0 && looped == S_OK && failing;
  std::printf("%-44s %.1f s, %ld pumps, %.2f%% of one core, failing with 1167: %s%s\n",
              "looprocess over a vanished pty", tookWall, loop.pumps, tookCpu / tookWall * 100.0,
              failing ? "yes" : "no", ok ? "" : " FAILED");
  comms->Release();
  unsetenv("KAVREL_COM4");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const long cycles = argc > 1 ? std::atol(argv[1]) : 100000;
  const long objects = argc > 2 ? std::atol(argv[2]) : 100000;
  const double seconds = argc > 3 ? std::atof(argv[3]) : 5.0;
  bool ok = OpenCloseCycles(cycles);
  ok = ObjectLifetimes(objects) && ok;
  ok = VanishedDeviceLoop(seconds) && ok;
  return ok ? 0 : 1;
}
