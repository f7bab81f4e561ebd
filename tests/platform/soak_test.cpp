// Integrity under sustained traffic: 64 MiB over a pseudo-terminal and over
// the null-modem, half each way, every byte value, checked byte for byte at
// the far end, so that a lost, altered or duplicated byte anywhere is found.
#include <unistd.h>

#include <cstdint>
#include <thread>

#include "device_test_support.h"
#include "pty_pair.h"

namespace kavrel::testing {
namespace {

constexpr size_t kTotal = size_t{32} << 20;  // each way
constexpr size_t kChunk = 64 * 1024;

// The byte at stream offset i: every value occurs, and no shift of the
// stream by a lost or repeated run matches it.
uint8_t Pattern(size_t i) {
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
  x ^= x >> 15;
  return static_cast<uint8_t>(x ^ (i >> 24));
}

void Fill(std::string& chunk, size_t offset) {
  for (size_t k = 0; k < chunk.size(); ++k) chunk[k] = static_cast<char>(Pattern(offset + k));
}

struct Checked {
  size_t received = 0;
  size_t firstBad = SIZE_MAX;
  void Take(const char* data, size_t n) {
    for (size_t k = 0; k < n && firstBad == SIZE_MAX; ++k)
      if (static_cast<uint8_t>(data[k]) != Pattern(received + k)) firstBad = received + k;
    received += n;
  }
};

class Soak : public ::testing::Test, public Ops {
 protected:
  // Writes the stream through the device layer on another thread while
  // `drain` (reading up to n bytes into a buffer, 0 at the end) takes it.
  template <class Drain>
  Checked DeviceToFarEnd(Handle32 h, Drain&& drain) {
    Checked check;
    bool writeOk = true;
    std::thread writer([&] {
      std::string chunk(kChunk, '\0');
      for (size_t sent = 0; sent < kTotal && writeOk; sent += chunk.size()) {
        Fill(chunk, sent);
        BOOL ok = FALSE;
        writeOk = Write(h, chunk, &ok) == chunk.size() && ok;
      }
    });
    std::string buffer(kChunk, '\0');
    const Stopwatch clock;
    while (check.received < kTotal && check.firstBad == SIZE_MAX && clock.ms() < 120000) {
      const size_t n = drain(buffer.data(), buffer.size());
      if (n == 0 && !writeOk) break;
      check.Take(buffer.data(), n);
    }
    writer.join();
    EXPECT_TRUE(writeOk);
    return check;
  }
  // Reads the stream through the device layer while `feed` sends it.
  template <class Feed>
  Checked FarEndToDevice(Handle32 h, Feed&& feed) {
    Checked check;
    std::thread writer([&] {
      std::string chunk(kChunk, '\0');
      for (size_t sent = 0; sent < kTotal; sent += chunk.size()) {
        Fill(chunk, sent);
        if (!feed(chunk)) return;
      }
    });
    const Stopwatch clock;
    while (check.received < kTotal && check.firstBad == SIZE_MAX && clock.ms() < 120000) {
      BOOL ok = FALSE;
      const std::string got = Read(h, kChunk, &ok);
      if (!ok) break;
      check.Take(got.data(), got.size());
    }
    writer.join();
    return check;
  }
  void Expect(const Checked& c, const char* what) {
    EXPECT_EQ(SIZE_MAX, c.firstBad) << what << ": first wrong byte at offset " << c.firstBad;
    EXPECT_EQ(kTotal, c.received) << what;
  }
};

TEST_F(Soak, SixtyFourMiBOverAPseudoTerminal) {
  PtyPair pty;
  const Handle32 h = Open(pty.path());
  ASSERT_NE(h, platform::kInvalidHandle) << error();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, MAXDWORD, 1000, 0, 5000));
  const Stopwatch clock;
  Expect(DeviceToFarEnd(h,
                        [&](char* b, size_t n) -> size_t {
                          const ssize_t got = read(pty.master(), b, n);
                          return got > 0 ? static_cast<size_t>(got) : 0;
                        }),
         "device to master");
  Expect(FarEndToDevice(h,
                        [&](const std::string& chunk) {
                          size_t done = 0;
                          while (done < chunk.size()) {
                            const ssize_t n =
                                write(pty.master(), chunk.data() + done, chunk.size() - done);
                            if (n <= 0) return false;
                            done += static_cast<size_t>(n);
                          }
                          return true;
                        }),
         "master to device");
  std::printf("[ measured ] 2 x 32 MiB over a pty in %lld ms\n", clock.ms());
  EXPECT_TRUE(ops.CloseHandle(h));
}

TEST_F(Soak, SixtyFourMiBOverTheNullModem) {
  const Handle32 a = Open("NULLMODEM31A"), b = Open("NULLMODEM31B");
  ASSERT_NE(a, platform::kInvalidHandle) << error();
  ASSERT_NE(b, platform::kInvalidHandle) << error();
  for (Handle32 h : {a, b}) ASSERT_TRUE(Timeouts(h, MAXDWORD, MAXDWORD, 1000, 0, 5000));
  const Stopwatch clock;
  auto readFrom = [&](Handle32 h) {
    return [this, h](char* buffer, size_t n) -> size_t {
      BOOL ok = FALSE;
      const std::string got = Read(h, static_cast<DWORD>(n), &ok);
      std::copy(got.begin(), got.end(), buffer);
      return got.size();
    };
  };
  Expect(DeviceToFarEnd(a, readFrom(b)), "A to B");
  Expect(DeviceToFarEnd(b, readFrom(a)), "B to A");
  std::printf("[ measured ] 2 x 32 MiB over the null-modem in %lld ms\n", clock.ms());
  EXPECT_TRUE(ops.CloseHandle(a));
  EXPECT_TRUE(ops.CloseHandle(b));
}

}  // namespace
}  // namespace kavrel::testing
