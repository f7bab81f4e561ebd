// The device operations over pseudo-terminals: the test holds the master
// side and plays the far end of the line.
#include "platform/posix/tty_device.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "device_test_support.h"
#include "platform/posix/transfer_in_place.h"
#include "pty_pair.h"

namespace kavrel::testing {
namespace {

// The transfers made without the C library give what read and write give,
// with the error number negated instead of in errno.
TEST(TransferInPlace, CountsAndErrorsAreReadAndWritesOwn) {
  signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  char in[8] = {};
  EXPECT_EQ(platform::posix::ReadInPlace(p[0], in, sizeof in), -EAGAIN);  // nothing there
  EXPECT_EQ(platform::posix::WriteInPlace(p[1], "abc", 3), 3);
  EXPECT_EQ(platform::posix::ReadInPlace(p[0], in, sizeof in), 3);
  EXPECT_EQ(std::string(in, 3), "abc");
  EXPECT_EQ(platform::posix::ReadInPlace(p[1], in, sizeof in), -EBADF);  // the write end
  EXPECT_EQ(platform::posix::WriteInPlace(p[0], "x", 1), -EBADF);
  close(p[1]);
  EXPECT_EQ(platform::posix::ReadInPlace(p[0], in, sizeof in), 0);  // the writer has gone
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  close(p[0]);
  EXPECT_EQ(platform::posix::WriteInPlace(p[1], "x", 1), -EPIPE);  // the reader has gone
  close(p[1]);
  EXPECT_EQ(platform::posix::ReadInPlace(-1, in, sizeof in), -EBADF);

  // Copies of lengths from none to past two cache lines, at eight alignments.
  std::array<unsigned char, 160> from{}, to{};
  for (size_t i = 0; i < from.size(); ++i) from[i] = static_cast<unsigned char>(i * 7 + 1);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n = 0; n + offset + 16 <= to.size(); n += 13) {
      to.fill(0xEE);
      platform::posix::CopyInPlace(to.data() + offset, from.data(), n);
      for (size_t i = 0; i < to.size(); ++i) {
        const bool inside = i >= offset && i < offset + n;
        ASSERT_EQ(to[i], inside ? from[i - offset] : 0xEE) << offset << " " << n << " " << i;
      }
    }
  }
}

class Tty : public ::testing::Test, public Ops {
 protected:
  void TearDown() override {
    for (Handle32 h : opened) ops.CloseHandle(h);
  }
  Handle32 OpenPty() {
    const Handle32 h = Open(pty.path());
    EXPECT_NE(h, platform::kInvalidHandle) << pty.path() << " error " << error();
    opened.push_back(h);
    return h;
  }
  // Waits (briefly) until the kernel has passed what the master sent.
  void AwaitInput(Handle32 h, DWORD count) {
    Stopwatch clock;
    while (Status(h).cbInQue < count && clock.ms() < 2000) usleep(1000);
  }

  PtyPair pty;
  std::vector<Handle32> opened;
};

TEST_F(Tty, OpensByPathAndByComPortMapping) {
  const Handle32 byPath = Open(pty.path());
  ASSERT_NE(byPath, platform::kInvalidHandle);
  EXPECT_EQ(error(), 0u);
  EXPECT_TRUE(ops.CloseHandle(byPath));

  setenv("KAVREL_COM9", pty.path().c_str(), 1);
  const Handle32 byName = Open("COM9");
  EXPECT_NE(byName, platform::kInvalidHandle);
  EXPECT_EQ(Open("\\\\.\\com9"), platform::kInvalidHandle);  // the same device
  EXPECT_EQ(error(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(ops.CloseHandle(byName));
  unsetenv("KAVREL_COM9");
}

TEST_F(Tty, RefusesWhatIsNotATerminalWithoutTouchingIt) {
  EXPECT_EQ(Open("/nonexistent/ttyX"), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("/dev/ttyNOSUCH"), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(""), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_PATH_NOT_FOUND);

  char dir[] = "/tmp/kavrel-devXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
  std::ofstream(file) << "keep";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {file, fifo, std::string(dir), std::string("/dev/null")}) {
    const Stopwatch clock;  // a FIFO without a writer must not block the open
    EXPECT_EQ(Open(name), platform::kInvalidHandle) << name;
    EXPECT_EQ(error(), ERROR_NOT_SUPPORTED) << name;
    EXPECT_LT(clock.ms(), 500);
  }
  std::string content;
  std::ifstream(file) >> content;
  EXPECT_EQ(content, "keep");
  unlink(file.c_str());
  unlink(fifo.c_str());
  rmdir(dir);
}

// Counts the opens of one file (any mode) from the moment of construction.
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(fd_, path.c_str(), IN_OPEN), 0) << path;
  }
  ~OpenWatch() { close(fd_); }
  int Opens() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if (e->mask & IN_OPEN) ++opens_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
    return opens_;
  }

 private:
  int fd_;
  int opens_ = 0;
};

struct TempDir {
  TempDir() { EXPECT_NE(mkdtemp(path), nullptr); }
  ~TempDir() { std::system(("rm -rf '" + std::string(path) + "'").c_str()); }
  std::string operator/(const char* name) const { return std::string(path) + "/" + name; }
  char path[32] = "/tmp/kavrel-devXXXXXX";
};

TEST(TerminalDevice, IsKnownByItsNumberThroughSysfs) {
  TempDir sys;
  const std::string root = sys / "char";
  mkdir(root.c_str(), 0700);
  for (auto [entry, subsystem] : {std::pair{"4:64", "../../class/tty"},
                                  {"1:3", "../../class/mem"},
                                  {"10:200", "../../class/misc"},
                                  {"250:0", "../../class/tty"}}) {
    const std::string dir = root + "/" + entry;
    mkdir(dir.c_str(), 0700);
    ASSERT_EQ(0, symlink(subsystem, (dir + "/subsystem").c_str()));
  }
  // vanished: a serial driver's number sysfs has no device for, a node an
  // adapter left behind (only sysfs can tell).
  struct Case {
    unsigned major, minor;
    bool withSysfs, withoutSysfs, vanished;
  };
  for (const Case& c :
       {Case{4, 64, true, true, false}, Case{250, 0, true, false, false},  // dynamic major
        Case{1, 3, false, false, false}, Case{10, 200, false, false, false},
        Case{136, 7, true, true, false}, Case{143, 1, true, true, false},  // pty slaves
        Case{144, 0, false, false, false}, Case{188, 0, false, true, true},
        Case{166, 0, false, true, true}, Case{4, 65, false, true, true},
        Case{5, 0, false, true, false}}) {
    EXPECT_EQ(c.withSysfs, platform::posix::IsTerminalDevice(c.major, c.minor, root.c_str()))
        << c.major << ":" << c.minor;
    EXPECT_EQ(c.withoutSysfs,
              platform::posix::IsTerminalDevice(c.major, c.minor, (sys / "none").c_str()))
        << c.major << ":" << c.minor << " without sysfs";
    EXPECT_EQ(c.vanished, platform::posix::IsVanishedSerialDevice(c.major, c.minor, root.c_str()))
        << c.major << ":" << c.minor;
    EXPECT_FALSE(platform::posix::IsVanishedSerialDevice(c.major, c.minor, (sys / "none").c_str()));
  }
}

// A legacy ttyS with no UART behind it opens, then answers EIO to every
// question: it is no port at all, not a device of the wrong kind. Checked on
// such a port where the machine has one and may open it.
TEST(TerminalDevice, APortWithoutHardwareIsNotFound) {
  EXPECT_EQ(platform::posix::UnusableTerminalError(EIO), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::posix::UnusableTerminalError(ENOTTY), ERROR_NOT_SUPPORTED);
  for (int n = 0; n < 32; ++n) {
    const std::string name = "ttyS" + std::to_string(n);
    std::string type;
    std::ifstream("/sys/class/tty/" + name + "/type") >> type;
    if (type != "0" || access(("/dev/" + name).c_str(), R_OK | W_OK) != 0) continue;
    Ops ops;
    EXPECT_EQ(ops.Open("/dev/" + name), platform::kInvalidHandle) << name;
    EXPECT_EQ(ops.error(), ERROR_FILE_NOT_FOUND) << name;
    break;
  }
}

TEST_F(Tty, ACharacterDeviceThatIsNoTerminalIsNeverOpened) {
  TempDir dir;
  const std::string node = dir / "null";
  if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make a device node here";
  OpenWatch watch(node);
  EXPECT_EQ(Open(node), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(0, watch.Opens()) << "refused only after opening it";
  close(open(node.c_str(), O_RDONLY));  // the watch does see an open
  EXPECT_EQ(1, watch.Opens());

  // A ttyUSB node whose adapter has gone is a missing port, and not opened.
  const std::string stale = dir / "ttyUSB";
  struct stat sysfs {};
  if (stat("/sys/dev/char", &sysfs) != 0 || stat("/sys/dev/char/188:255", &sysfs) == 0) return;
  ASSERT_EQ(0, mknod(stale.c_str(), S_IFCHR | 0666, makedev(188, 255)));
  OpenWatch staleWatch(stale);
  EXPECT_EQ(Open(stale), platform::kInvalidHandle);
  EXPECT_EQ(error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(0, staleWatch.Opens());
}

TEST_F(Tty, ALinkIsJudgedByWhatItLeadsToEvenWhileItIsSwapped) {
  TempDir dir;
  const std::string link = dir / "port", file = dir / "file", next = dir / "next";
  std::ofstream(file) << "keep";
  ASSERT_EQ(0, symlink(pty.path().c_str(), link.c_str()));
  const Handle32 h = Open(link);
  ASSERT_NE(h, platform::kInvalidHandle) << error();
  EXPECT_TRUE(ops.CloseHandle(h));

  // One thread flips the link between the terminal and the file while this
  // one opens it: each open gets the terminal or is refused, and the file is
  // never opened at all.
  OpenWatch watch(file);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int i = 0; i < 2000000 && !stop; ++i) {
      unlink(next.c_str());
      if (symlink((i % 2 ? pty.path() : file).c_str(), next.c_str()) == 0)
        rename(next.c_str(), link.c_str());
    }
  });
  int terminals = 0, refused = 0;
  const Stopwatch clock;
  for (int i = 0; i < 200000 && clock.ms() < 1000; ++i) {
    const Handle32 got = Open(link);
    if (got != platform::kInvalidHandle) {
      ++terminals;
      ops.CloseHandle(got);
    } else {
      EXPECT_EQ(error(), ERROR_NOT_SUPPORTED);
      ++refused;
    }
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(0, watch.Opens()) << terminals << " terminal opens, " << refused << " refused";
  EXPECT_GT(terminals + refused, 0);
  std::string content;
  std::ifstream(file) >> content;
  EXPECT_EQ(content, "keep");
}

TEST_F(Tty, OnlyOneOpenAtATimeFromAnywhere) {
  const Handle32 first = OpenPty();
  Ops other;  // another object
  EXPECT_EQ(other.Open(pty.path()), platform::kInvalidHandle);
  EXPECT_EQ(other.error(), ERROR_ACCESS_DENIED);

  const pid_t child = fork();  // another process
  if (child == 0) {
    Ops inChild;
    const Handle32 h = inChild.Open(pty.path());
    _exit(h == platform::kInvalidHandle ? static_cast<int>(inChild.error()) : 100);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED));

  EXPECT_TRUE(ops.CloseHandle(first));
  opened.clear();
  EXPECT_NE(OpenPty(), platform::kInvalidHandle);  // the close released it
}

// /dev/tty is another name for the caller's controlling terminal: opening
// it and the terminal's own node both is one device opened twice, while two
// processes with terminals of their own each have theirs.
TEST_F(Tty, ATerminalIsOneDeviceByWhateverNameItIsOpened) {
  PtyPair other;
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  // Runs in a new session whose controlling terminal is the slave at path.
  const auto inSession = [](const std::string& path, auto body) {
    const pid_t child = fork();
    if (child != 0) return child;
    setsid();
    const int terminal = open(path.c_str(), O_RDWR);
    _exit(terminal < 0 ? 99 : body(path));
  };
  const pid_t holder = inSession(pty.path(), [&](const std::string& path) {
    Ops o;
    const Handle32 byAlias = o.Open("/dev/tty");
    if (byAlias == platform::kInvalidHandle) return 1;
    if (o.Open(path) != platform::kInvalidHandle || o.error() != ERROR_ACCESS_DENIED) return 2;
    o.ops.CloseHandle(byAlias);
    const Handle32 byName = o.Open(path);
    if (byName == platform::kInvalidHandle) return 3;
    if (o.Open("/dev/tty") != platform::kInvalidHandle || o.error() != ERROR_ACCESS_DENIED)
      return 4;
    char c = 0;
    if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1) return 5;
    return 0;
  });
  close(ready[1]);  // a holder that gives up ends the wait below
  close(done[0]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  const pid_t neighbour = inSession(other.path(), [](const std::string&) {
    Ops o;
    return o.Open("/dev/tty") == platform::kInvalidHandle ? 10 : 0;
  });
  int status = 0;
  ASSERT_EQ(waitpid(neighbour, &status, 0), neighbour);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(write(done[1], &c, 1), 1);
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(ready[0]);
  close(done[1]);
}

TEST_F(Tty, EveryByteValueTravelsBothWaysUnchanged) {
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 2000, 0, 2000));
  const std::string all = EveryByteValue();

  BOOL ok = FALSE;
  EXPECT_EQ(Write(h, all, &ok), all.size());
  EXPECT_TRUE(ok);
  EXPECT_EQ(pty.Receive(all.size()), all);

  pty.Send(all);
  EXPECT_EQ(ReadAll(h, all.size()), all);
}

TEST_F(Tty, ReadsFollowTheWindowsTimeoutRules) {
  const Handle32 h = OpenPty();
  // The rule CommOpen's time-outs fall in: at once with what waits...
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 3000));
  pty.Send("hello");
  AwaitInput(h, 5);
  Stopwatch clock;
  EXPECT_EQ(Read(h, 64), "hello");
  EXPECT_LT(clock.ms(), 500);
  // ...and, with nothing waiting, for the whole request until the total.
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 300));
  std::thread late([&] {
    usleep(50 * 1000);
    pty.Send("abc");
  });
  clock = Stopwatch();
  EXPECT_EQ(Read(h, 10), "abc");
  EXPECT_GE(clock.ms(), 280);
  late.join();

  // Nothing waits and the caller will not wait.
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
  clock = Stopwatch();
  BOOL ok = FALSE;
  EXPECT_EQ(Read(h, 10, &ok), "");
  EXPECT_TRUE(ok);  // a time-out is not a failure
  EXPECT_LT(clock.ms(), 500);

  // The first bytes to arrive end the call.
  ASSERT_TRUE(Timeouts(h, MAXDWORD, MAXDWORD, 3000));
  std::thread first([&] {
    usleep(100 * 1000);
    pty.Send("xy");
  });
  clock = Stopwatch();
  EXPECT_EQ(Read(h, 10), "xy");
  EXPECT_LT(clock.ms(), 1500);
  first.join();

  // An interval time-out, timed from the first byte.
  ASSERT_TRUE(Timeouts(h, 100, 0, 0));
  std::thread burst([&] {
    usleep(200 * 1000);
    pty.Send("xyz");
  });
  clock = Stopwatch();
  EXPECT_EQ(Read(h, 10), "xyz");
  EXPECT_GE(clock.ms(), 250);  // waited for the first byte, then the interval
  EXPECT_LT(clock.ms(), 2000);
  burst.join();
  // Bytes already waiting start the interval too: none follow them, and the
  // read ends with them instead of waiting for more (the total time-out
  // only bounds a read that would wait for ever).
  ASSERT_TRUE(Timeouts(h, 100, 0, 5000));
  pty.Send("ab");
  AwaitInput(h, 2);
  clock = Stopwatch();
  EXPECT_EQ(Read(h, 10), "ab");
  EXPECT_LT(clock.ms(), 2500);

  // A total time-out of multiplier * n + constant, nothing arriving.
  ASSERT_TRUE(Timeouts(h, 0, 10, 100));
  clock = Stopwatch();
  EXPECT_EQ(Read(h, 10, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_GE(clock.ms(), 190);
  EXPECT_LT(clock.ms(), 1500);

  COMMTIMEOUTS forever{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(ops.SetCommTimeouts(h, &forever));
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);
}

TEST_F(Tty, AWriteNobodyTakesEndsAtItsTimeoutWithTheCountSoFar) {
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0, 0, 200));
  const std::string big(1 << 20, 'w');
  Stopwatch clock;
  BOOL ok = FALSE;
  const DWORD written = Write(h, big, &ok);
  EXPECT_TRUE(ok);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(clock.ms(), 190);
  EXPECT_LT(clock.ms(), 2000);
  EXPECT_EQ(pty.Receive(written).size(), written);  // nothing lost
  DWORD last = 0;
  OVERLAPPED o{};
  EXPECT_TRUE(ops.GetOverlappedResult(h, &o, &last, TRUE));
  EXPECT_EQ(last, written);
}

TEST_F(Tty, SetCommStateReachesTheKernelAndReadsBack) {
  const Handle32 h = OpenPty();
  DCB dcb = State(h);
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.fBinary, 1u);
  LineProbe line = ProbeLine(pty.master());
  EXPECT_FALSE(line.canonical || line.echo || line.outputProcessing || line.ixon);

  // A pseudo-terminal keeps 8 bits without parity whatever it is told; the
  // rest of the framing shows.
  dcb.BaudRate = 115200, dcb.ByteSize = 7, dcb.Parity = EVENPARITY, dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(ops.SetCommState(h, &dcb));
  line = ProbeLine(pty.master());
  EXPECT_EQ(line.speed, 115200u);
  EXPECT_TRUE(!line.oddParity && !line.stickParity && line.twoStopBits);

  dcb.BaudRate = 12345, dcb.ByteSize = 8, dcb.Parity = MARKPARITY, dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 1, dcb.fOutX = 1, dcb.fInX = 1, dcb.fParity = 1;
  dcb.XonChar = 0x01, dcb.XoffChar = 0x02;
  ASSERT_TRUE(ops.SetCommState(h, &dcb));
  line = ProbeLine(pty.master());
  EXPECT_EQ(line.speed, 12345u);  // any rate, not only the standard ones
  EXPECT_TRUE(line.oddParity && line.stickParity && !line.twoStopBits);
  EXPECT_TRUE(line.rtscts && line.ixon && line.ixoff && line.inpck);
  dcb.Parity = SPACEPARITY;
  ASSERT_TRUE(ops.SetCommState(h, &dcb));
  line = ProbeLine(pty.master());
  EXPECT_TRUE(!line.oddParity && line.stickParity);
  const DCB back = State(h);
  EXPECT_EQ(back.BaudRate, 12345u);
  EXPECT_EQ(back.StopBits, ONESTOPBIT);
  EXPECT_EQ(back.fOutxCtsFlow, 1u);
  EXPECT_EQ(back.fOutX, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.XonChar, 0x01);
  EXPECT_EQ(back.XoffChar, 0x02);
  EXPECT_EQ(back.fParity, 1u);

  const LineProbe before = ProbeLine(pty.master());
  const auto refused = [&](auto change) {
    DCB bad = back;
    change(bad);
    EXPECT_FALSE(ops.SetCommState(h, &bad));
    EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);
  };
  refused([](DCB& d) { d.BaudRate = 0; });
  refused([](DCB& d) { d.ByteSize = 9; });
  refused([](DCB& d) { d.ByteSize = 4; });
  refused([](DCB& d) { d.Parity = 5; });
  refused([](DCB& d) { d.StopBits = 3; });
  refused([](DCB& d) { d.StopBits = ONE5STOPBITS; });  // needs 5 data bits
  refused([](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; });
  refused([](DCB& d) { d.XoffChar = d.XonChar; });
  refused([](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; });
  const LineProbe after = ProbeLine(pty.master());
  EXPECT_EQ(after.speed, before.speed);
  EXPECT_EQ(after.twoStopBits, before.twoStopBits);
  EXPECT_EQ(after.rtscts, before.rtscts);
}

TEST_F(Tty, AVanishedPeerFailsEveryTransferPromptly) {
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, 0, 0, 0, 0, 0));  // no time-outs at all: only the failure can end a call
  std::thread closer([&] {
    usleep(100 * 1000);
    pty.CloseMaster();
  });
  Stopwatch clock;
  BOOL ok = TRUE;
  Read(h, 10, &ok);  // waiting when the other end goes
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_LT(clock.ms(), 2000);
  closer.join();

  for (int again = 0; again < 3; ++again) {
    clock = Stopwatch();
    Read(h, 10, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    Write(h, "data", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    Write(h, "", &ok);
    EXPECT_FALSE(ok);
    Status(h, nullptr, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(clock.ms(), 1000);
  }
}

TEST_F(Tty, BytesCountedBeforeAHangUpAreStillRead) {
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
  pty.Send(std::string(3000, 'z'));
  AwaitInput(h, 3000);  // counted, and so taken from the line
  EXPECT_EQ(Read(h, 1000), std::string(1000, 'z'));
  pty.CloseMaster();
  std::string rest;
  for (DWORD waiting; (waiting = Status(h).cbInQue) > 0;) rest += Read(h, waiting);
  EXPECT_EQ(rest, std::string(2000, 'z'));
  DWORD flags = 0;
  COMSTAT stat{};
  EXPECT_FALSE(ops.ClearCommError(h, &flags, &stat)) << "then the line has gone";
  EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(Tty, AVanishedPeerEndsABlockedWriteAndFailsAnIdleLine) {
  // While idle: nothing pending when the far end goes. The line is polled
  // for its count first, as a host's loop does, and bytes that come between
  // polls are still counted and read.
  {
    PtyPair idle;
    const Handle32 h = Open(idle.path());
    ASSERT_NE(h, platform::kInvalidHandle);
    opened.push_back(h);
    ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
    for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(Status(h).cbInQue, 0u);
    idle.Send("ab");
    AwaitInput(h, 2);
    EXPECT_EQ(Read(h, 2), "ab");
    for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(Status(h).cbInQue, 0u);
    idle.CloseMaster();
    DWORD flags = 0;
    COMSTAT stat{};
    EXPECT_FALSE(ops.ClearCommError(h, &flags, &stat));
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    BOOL ok = TRUE;
    Write(h, "late", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
    Read(h, 4, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
  }
  // During a write that nobody takes and that has no time-out: only the
  // failure can end it, with the count that went out before.
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, 0, 0, 0, 0, 0));
  std::thread closer([&] {
    usleep(200 * 1000);
    pty.CloseMaster();
  });
  const std::string big(4 << 20, 'x');
  BOOL ok = TRUE;
  const Stopwatch clock;
  const DWORD put = Write(h, big, &ok);
  closer.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_LT(put, big.size());
  EXPECT_LT(clock.ms(), 5000);
}

TEST_F(Tty, ModemLinesAreAbsentButBreakAndCodesBehave) {
  const Handle32 h = OpenPty();
  DWORD bits = 0;
  EXPECT_FALSE(ops.GetCommModemStatus(h, &bits));
  EXPECT_EQ(error(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(ops.EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(error(), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(ops.EscapeCommFunction(h, SETBREAK));
  EXPECT_TRUE(ops.EscapeCommFunction(h, CLRBREAK));
  for (DWORD unknown : {0u, 10u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(ops.EscapeCommFunction(h, unknown));
    EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);
  }
}

TEST_F(Tty, QueueCountsPurgeAndAbort) {
  const Handle32 h = OpenPty();
  pty.Send("0123456789");
  AwaitInput(h, 10);
  DWORD errors = 0xFF;
  EXPECT_EQ(Status(h, &errors).cbInQue, 10u);
  EXPECT_EQ(errors, 0u);  // no counters on a pty: no flags, no failure
  EXPECT_TRUE(ops.PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(Status(h).cbInQue, 0u);
  EXPECT_FALSE(ops.PurgeComm(h, 0x10));
  EXPECT_EQ(error(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(Timeouts(h, 0, 0, 0));
  std::thread purger([&] {
    usleep(50 * 1000);
    Ops().ops.PurgeComm(h, PURGE_TXABORT);  // writes only: the read waits on
    usleep(150 * 1000);
    Ops().ops.PurgeComm(h, PURGE_RXABORT);
  });
  Stopwatch clock;
  BOOL ok = TRUE;
  Read(h, 10, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error(), ERROR_OPERATION_ABORTED);
  EXPECT_GE(clock.ms(), 190);
  purger.join();
  DWORD count = 7;
  OVERLAPPED o{};
  EXPECT_FALSE(ops.GetOverlappedResult(h, &o, &count, TRUE));  // answers for that read
  EXPECT_EQ(error(), ERROR_OPERATION_ABORTED);
}

// The count a reader asks for is exact however much waits, and the bytes
// behind it come back in order; a purge drops them all; and a reader blocked
// on another thread still gets bytes the count has already taken in.
TEST_F(Tty, CountedInputComesBackExactlyOnceAndInOrder) {
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
  // More than one look-ahead buffer of it (a pty's line discipline holds
  // about 4 KiB itself and keeps the rest back until there is room).
  std::string sent;
  for (int i = 0; i < 6000; ++i) sent += static_cast<char>(i * 7 + i / 256);
  pty.Send(sent);
  AwaitInput(h, 6000);
  EXPECT_EQ(Status(h).cbInQue, 6000u);
  std::string got = Read(h, 3);
  EXPECT_EQ(Status(h).cbInQue, 5997u);
  std::string more;
  for (int i = 0; i < 20000; ++i) more += static_cast<char>(i * 13 + i / 256);
  std::thread sender([&] { pty.Send(more); });
  sent += more;
  Stopwatch clock;
  while (got.size() < sent.size() && clock.ms() < 5000)
    got += Read(h, Status(h).cbInQue % 1500 + 1);
  sender.join();
  EXPECT_EQ(got, sent);
  EXPECT_EQ(Status(h).cbInQue, 0u);

  pty.Send("abc");
  AwaitInput(h, 3);
  EXPECT_TRUE(ops.PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(Status(h).cbInQue, 0u);
  pty.Send("xyz");
  AwaitInput(h, 3);
  EXPECT_EQ(Read(h, 3), "xyz");

  ASSERT_TRUE(Timeouts(h, 0, 0, 5000));
  for (int round = 0; round < 20; ++round) {
    std::string late;
    Stopwatch clock;
    std::thread reader([&] { late = Ops().Read(h, 5); });
    usleep(2000);
    pty.Send("hello");
    AwaitInput(h, 5);  // takes the bytes in while the reader waits in poll
    reader.join();
    ASSERT_EQ(late, "hello") << "round " << round;
    ASSERT_LT(clock.ms(), 2500) << "a waiting reader missed bytes taken in ahead of it";
  }
}

TEST_F(Tty, TwoThreadsPollingOneHandleTakeEveryByteOnceBetweenThem) {
  // Counts and reads on both threads race for the look-ahead buffer and for
  // an idle port's count while the far end streams.
  const Handle32 h = OpenPty();
  ASSERT_TRUE(Timeouts(h, MAXDWORD, 0, 0));
  std::string sent;
  for (int i = 0; i < 30000; ++i) sent += static_cast<char>(i * 31 + i / 97);
  std::atomic<size_t> taken{0};
  std::array<std::array<size_t, 256>, 2> seen{};
  const auto take = [&](std::array<size_t, 256>& histogram) {
    Stopwatch clock;
    while (taken.load() < sent.size() && clock.ms() < 5000) {
      const DWORD waiting = Status(h).cbInQue;
      if (waiting == 0) continue;
      for (const char c : Ops().Read(h, waiting % 700 + 1)) {
        ++histogram[static_cast<unsigned char>(c)];
        taken.fetch_add(1);
      }
    }
  };
  std::thread other([&] { take(seen[1]); });
  std::thread sender([&] { pty.Send(sent); });
  take(seen[0]);
  sender.join();
  other.join();
  std::array<size_t, 256> expected{};
  for (const char c : sent) ++expected[static_cast<unsigned char>(c)];
  std::array<size_t, 256> both{};
  for (int b = 0; b < 256; ++b) both[b] = seen[0][b] + seen[1][b];
  EXPECT_EQ(taken.load(), sent.size());
  EXPECT_EQ(both, expected);
  EXPECT_EQ(Status(h).cbInQue, 0u);
}

TEST_F(Tty, AClosedHandleIsInvalidForEveryOperation) {
  const Handle32 h = Open(pty.path());
  ASSERT_TRUE(ops.CloseHandle(h));
  DCB dcb{};
  COMMTIMEOUTS t{};
  DWORD value = 0;
  COMSTAT stat{};
  OVERLAPPED o{};
  char buffer[4];
  const BOOL results[] = {ops.SetupComm(h, 1024, 1024),
                          ops.PurgeComm(h, 15),
                          ops.SetCommTimeouts(h, &t),
                          ops.GetCommState(h, &dcb),
                          ops.SetCommState(h, &dcb),
                          ops.ClearCommError(h, &value, &stat),
                          ops.ReadFile(h, buffer, 4, &value, &o),
                          ops.WriteFile(h, buffer, 4, &value, &o),
                          ops.GetOverlappedResult(h, &o, &value, TRUE),
                          ops.GetCommModemStatus(h, &value),
                          ops.EscapeCommFunction(h, SETRTS),
                          ops.CloseHandle(h),
                          ops.ClearCommError(0, &value, &stat)};
  for (BOOL result : results) EXPECT_FALSE(result);
  EXPECT_EQ(error(), ERROR_INVALID_HANDLE);
  const Handle32 next = OpenPty();
  EXPECT_NE(next, h);  // handle values are not reused
  EXPECT_FALSE(ops.ReadFile(h, buffer, 4, &value, &o));
  EXPECT_EQ(error(), ERROR_INVALID_HANDLE);
}

// A thread that has used a handle finds it invalid once it is closed, even
// while a read on another thread still holds the device; and the device
// itself closes with its last transfer, so that the port opens again.
TEST_F(Tty, AHandleClosedDuringAReadElsewhereIsInvalidHereAndThePortReopens) {
  const Handle32 h = Open(pty.path());
  ASSERT_TRUE(Timeouts(h, 0, 0, 0));
  EXPECT_EQ(Status(h).cbInQue, 0u);  // used on this thread
  BOOL readOk = TRUE;
  DWORD readError = 0;
  std::thread reader([&] {
    Ops other;
    other.Read(h, 10, &readOk);
    readError = other.error();
  });
  usleep(50 * 1000);
  ASSERT_TRUE(ops.CloseHandle(h));
  DWORD value = 0;
  COMSTAT stat{};
  EXPECT_FALSE(ops.ClearCommError(h, &value, &stat));
  EXPECT_EQ(error(), ERROR_INVALID_HANDLE);
  reader.join();
  EXPECT_FALSE(readOk);
  EXPECT_EQ(readError, ERROR_OPERATION_ABORTED);
  const Handle32 again = OpenPty();
  EXPECT_NE(again, platform::kInvalidHandle) << "the closed handle kept the port open";
}

}  // namespace
}  // namespace kavrel::testing
