// The registry file reader, in paired rounds (bench/paired.h):
//  - reading one file of 2N keys against two files of N keys (the same
//    amount of text): a linear reader costs the same, a reader that searches
//    what it has read so far costs twice as much and more;
//  - a COM port name resolved through a map of 20,000 ports in a file of
//    about 1 MiB, against the same name with a file of one port: the large
//    file is parsed once and kept, so the two cost about the same.
// Also prints the time to read a file at the 4 MiB size limit.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "kavrel/registry.h"
#include "paired.h"
#include "platform/posix/port_names.h"

namespace {

using namespace kavrel;
using bench::Cost;
using bench::Goal;
using bench::Stopwatch;

std::string Keys(int count, int first = 0) {
  std::string text = "REGEDIT4\n";
  for (int i = first; i < first + count; ++i)
    text += "[HKEY_CLASSES_ROOT\\CLSID\\{" + std::to_string(i) + "}\\InprocServer32]\n@=\"/x\"\n";
  return text;
}

bool ParseOk(const std::string& text, size_t keys, registry::Document& doc) {
  std::string error;
  return registry::Document::Parse(text, &doc, &error) && doc.keys().size() == keys;
}

std::string PortMap(int ports, int padKeys) {
  std::string text = Keys(padKeys);
  text += "[HKEY_LOCAL_MACHINE\\Software\\Kavrel\\Ports]\n";
  for (int i = 1; i <= ports; ++i)
    text += "\"COM" + std::to_string(i) + "\"=\"/dev/ttyUSB" + std::to_string(i - 1) + "\"\n";
  return text;
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), 0600);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
  bench::PairedRuns runs(rounds);
  std::printf("Registry file reader; ratio median [range] of %d paired rounds\n\n", rounds);

  for (int n : {5000, 10000, 20000}) {
    const std::string half1 = Keys(n), half2 = Keys(n, n), whole = Keys(2 * n);
    runs.Compare(
        "read " + std::to_string(2 * n) + " keys / twice " + std::to_string(n) + " keys",
        Goal::Cost, 1.5,
        [&] {
          // Both halves stay in memory, as the whole does: the same
          // amount of fresh memory on both sides.
          registry::Document first, second;
          const Stopwatch w;
          const bool ok = ParseOk(half1, static_cast<size_t>(n), first) &&
                          ParseOk(half2, static_cast<size_t>(n), second);
          Cost c = w.Stop();
          c.failed = !ok;
          return c;
        },
        [&] {
          registry::Document doc;
          const Stopwatch w;
          const bool ok = ParseOk(whole, static_cast<size_t>(2 * n), doc);
          Cost c = w.Stop();
          c.failed = !ok;
          return c;
        });
  }

  std::string limit = "REGEDIT4\n";
  for (int i = 0; limit.size() < registry::kMaxFileSize - 128; ++i)
    limit += "[HKEY_CLASSES_ROOT\\CLSID\\{" + std::to_string(i) + "}]\n@=\"v\"\n";
  // A read takes memory the process may not have touched yet, and the
  // kernel's page faults for it can cost more than the reading itself on a
  // virtual machine: each read is printed with its fault count.
  {
    bool ok = true;
    size_t keys = 0;
    for (int i = 0; i < std::max(3, rounds); ++i) {
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      const Stopwatch w;
      registry::Document doc;
      std::string error;
      ok = registry::Document::Parse(limit, &doc, &error) && ok;
      const Cost c = w.Stop();
      getrusage(RUSAGE_SELF, &after);
      keys = doc.keys().size();
      std::printf("%-62s %5.1f ms wall, %5.1f ms cpu, %4ld page faults\n",
                  i == 0 ? "read a file at the 4 MiB limit" : "", c.wall * 1e3, c.cpu * 1e3,
                  after.ru_minflt - before.ru_minflt);
    }
    std::printf("%-62s %zu bytes, %zu keys%s\n", "", limit.size(), keys, ok ? "" : " FAILED");
  }

  char dir[] = "/tmp/kavrel-registry-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string large = std::string(dir) + "/large.reg",
                    small = std::string(dir) + "/small.reg";
  const std::string map = PortMap(20000, 0);
  Write(large, map);
  Write(small, PortMap(3, 0));
  std::printf("%-62s %zu bytes\n", "port map file", map.size());
  sleep(3);  // let both files settle, as a registry file on a host has
  constexpr int kOpens = 200;
  auto resolve = [&](const std::string& file) {
    setenv("KAVREL_REGISTRY", file.c_str(), 1);
    platform::posix::ResolveDeviceName("COM3");  // whichever file was kept before
    const Stopwatch w;
    bool ok = true;
    for (int i = 0; i < kOpens; ++i)
      ok = ok && platform::posix::ResolveDeviceName("COM3") == "/dev/ttyUSB2";
    Cost c = w.Stop();
    c.failed = !ok;
    return c;
  };
  runs.Compare(
      "COM3 through a 20,000-port map / through a 3-port map", Goal::Cost, 3.0,
      [&] { return resolve(small); }, [&] { return resolve(large); });
  const Cost each = resolve(large);
  std::printf("%-62s %.1f us wall per name\n", "COM3 through a 20,000-port map",
              each.wall * 1e6 / kOpens);
  unlink(large.c_str());
  unlink(small.c_str());
  rmdir(dir);
  return runs.Finish();
}
