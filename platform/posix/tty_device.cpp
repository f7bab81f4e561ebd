// The kernel's termios2 interface carries any baud rate; it cannot share a
// translation unit with the C library's <termios.h>, so this file talks to
// the tty with ioctls alone.
#include "platform/posix/tty_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "platform/hot_path.h"
#include "platform/line_modes.h"
#include "platform/posix/device_calls.h"
#include "platform/posix/device_ops.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/on_device.h"
#include "platform/posix/short_lock.h"
#include "platform/posix/termios_line.h"
#include "platform/posix/transfer_in_place.h"
#include "platform/posix/uevent.h"
#include "platform/posix/wake_list.h"
#include "platform/posix/win32_errors.h"

namespace kavrel::platform::posix {

namespace {

// The modem-line and counter ioctls of a device that has no such lines (a
// pseudo-terminal, many USB bridges) fail with one of these.
bool Unsupported(int error) { return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP; }

DWORD LineError(int error) {
  return Unsupported(error) ? ERROR_NOT_SUPPORTED : Win32FromErrno(error);
}

int Ioctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

int IoctlValue(int fd, unsigned long request, long value) {
  int result;
  do {
    result = ioctl(fd, request, value);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Binary transfers: no echo, no line editing, no signals, no translation
// either way, breaks left to the error counters. Speed, framing and flow
// control stay as they are; IXON and IXOFF go off, because a terminal's
// defaults would swallow two byte values.
void MakeRaw(Termios2& t) {
  t.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC |
                 IMAXBEL | IUTF8 | IGNPAR);
  t.c_iflag |= IGNBRK;
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN |
                 NOFLSH | TOSTOP);
  t.c_cflag |= CREAD | CLOCAL;
  // VMIN 1 makes an empty non-blocking read answer EAGAIN, so that a read
  // of 0 bytes can only mean the line has hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// Within 2%, the tolerance of asynchronous serial framing.
bool CloseEnough(unsigned actual, DWORD wanted) {
  const unsigned long long a = actual, w = wanted;
  return a * 50 >= w * 49 && a * 50 <= w * 51;
}

DWORD ErrorFlags(const serial_icounter_struct& now, const serial_icounter_struct& before) {
  DWORD flags = 0;
  if (now.buf_overrun != before.buf_overrun) flags |= CE_RXOVER;
  if (now.overrun != before.overrun) flags |= CE_OVERRUN;
  if (now.parity != before.parity) flags |= CE_RXPARITY;
  if (now.frame != before.frame) flags |= CE_FRAME;
  if (now.brk != before.brk) flags |= CE_BREAK;
  return flags;
}

class TtyDevice final : public Device {
 public:
  // lock is the descriptor that holds the flock: fd itself, or the
  // terminal's own node when fd reached it through another name.
  TtyDevice(int fd, int lock, bool canRead, bool canWrite)
      : Device(canRead, canWrite), fd_(fd), lock_(lock) {}

  // A hold or a break this handle left on ends with it, as when a Windows
  // port closes: the tty may outlive the handle (a pseudo-terminal does
  // while its master is open), and the next user would find it stuck.
  ~TtyDevice() override {
    if (breakOn_.load(std::memory_order_relaxed)) IoctlValue(fd_, TIOCCBRK, 0);
    if (xoffHold_.load(std::memory_order_relaxed) || breakOn_.load(std::memory_order_relaxed)) {
      IoctlValue(fd_, TCXONC, TCOON);
    }
    IoctlValue(fd_, TIOCNXCL, 0);
    if (lock_ != fd_) close(lock_);
    close(fd_);  // releases the flock too
  }

  // Raw mode, the error counters' starting point and the DCB members
  // termios does not hold.
  DWORD Prepare() {
    Termios2 t{};
    if (Ioctl(fd_, TCGETS2, &t) < 0) return Win32FromErrno(errno);
    MakeRaw(t);
    if (Ioctl(fd_, TCSETS2, &t) < 0) return Win32FromErrno(errno);
    // Output starts running, whatever hold a program before left on it:
    // with IXON off no XON would ever release it.
    IoctlValue(fd_, TCXONC, TCOON);
    counters_ = Ioctl(fd_, TIOCGICOUNT, &baseline_) == 0;
    shadow_ = DefaultDcb();
    ReadTermios(t, shadow_);
    // DTR and RTS as the block says, as a Windows port's open sets them.
    ApplyDtr(shadow_);
    ApplyRts(shadow_);
    return ERROR_SUCCESS;
  }

  Moved ReadNow(uint8_t* buffer, size_t size) override {
    if (size == 0) return {};
    // Under the lock throughout: a count on another thread cannot take
    // bytes from the tty between the look-ahead and the read after it.
    std::lock_guard lock(aheadLock_);
    size_t taken = 0;
    if (aheadStart_ < aheadEnd_) {
      // What ClearErrors has already taken from the tty goes first. Only
      // that, unless the count also promised bytes still in the tty: those
      // are read on, or a read for the count would come back short.
      taken = std::min(size, aheadEnd_ - aheadStart_);
      CopyInPlace(buffer, ahead_.data() + aheadStart_, taken);
      aheadStart_ += taken;
      if (taken == size || aheadStart_ < aheadEnd_ || !behind_) return {taken, ERROR_SUCCESS};
      behind_ = false;
    }
    const long n = ReadInPlace(fd_, buffer + taken, size - taken);
    if (n > 0) return {taken + static_cast<size_t>(n), ERROR_SUCCESS};
    if (taken > 0) return {taken, ERROR_SUCCESS};        // a failure is the next read's
    if (n == 0) return {0, ERROR_DEVICE_NOT_CONNECTED};  // hung up
    if (n == -EAGAIN) return {};
    return {0, Win32FromErrno(static_cast<int>(-n))};
  }

  KAVREL_WRITE_PATH Moved WriteNow(const uint8_t* data, size_t size) override {
    writes_.fetch_add(1, std::memory_order_relaxed);
    const long n = WriteInPlace(fd_, data, size);
    if (n >= 0) return {static_cast<size_t>(n), ERROR_SUCCESS};
    if (n == -EAGAIN) return {};
    return {0, Win32FromErrno(static_cast<int>(-n))};
  }

  Waited Wait(bool forWrite, const Deadline& deadline, uint64_t ticket) override {
    const short wanted = forWrite ? POLLOUT : POLLIN;
    // A reader is counted while it waits, so that ClearErrors wakes it when
    // it takes bytes from the tty that poll would no longer see.
    struct Counted {
      std::atomic<int>* count;
      ~Counted() {
        if (count) count->fetch_sub(1, std::memory_order_acq_rel);
      }
    } counted{forWrite ? nullptr : &readersWaiting_};
    if (!forWrite) readersWaiting_.fetch_add(1, std::memory_order_acq_rel);
    const WakeList::Entry wake(wakers_);
    for (;;) {
      if (AbortTicket(forWrite) != ticket) return {WaitResult::kAborted};
      if (!forWrite && Buffered()) return {WaitResult::kReady};
      int timeout = PollTimeout(deadline);
      if (timeout == 0) return {WaitResult::kTimedOut};
      // A thread that cannot have a descriptor of its own (poll skips -1)
      // looks again soon.
      if (wake.fd() < 0 && (timeout < 0 || timeout > 10)) timeout = 10;
      pollfd fds[2] = {{fd_, wanted, 0}, {wake.fd(), POLLIN, 0}};
      const int ready = poll(fds, 2, timeout);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return {WaitResult::kFailed, Win32FromErrno(errno)};
      }
      if (ready == 0) {
        if (!deadline || Clock::now() >= *deadline) return {WaitResult::kTimedOut};
        continue;
      }
      if (fds[1].revents) {
        wake.Drain();
        if (AbortTicket(forWrite) != ticket) return {WaitResult::kAborted};
      }
      if (fds[0].revents & wanted) return {WaitResult::kReady};
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        return {WaitResult::kFailed, ERROR_DEVICE_NOT_CONNECTED};
      }
    }
  }

  KAVREL_HOT_PATH bool AbortingErrorPending() override {
    if (!abortOnError_.load(std::memory_order_relaxed)) return false;
    std::lock_guard lock(stateMutex_);
    if (!counters_) return false;
    serial_icounter_struct now{};
    return Ioctl(fd_, TIOCGICOUNT, &now) == 0 && ErrorFlags(now, baseline_) != 0;
  }

  DWORD GetState(DCB& dcb) override {
    Termios2 t{};
    if (Ioctl(fd_, TCGETS2, &t) < 0) return Win32FromErrno(errno);
    std::lock_guard lock(stateMutex_);
    ReadTermios(t, shadow_);
    dcb = shadow_;
    return ERROR_SUCCESS;
  }

  DWORD SetState(const DCB& dcb) override {
    // RTS that follows transmission needs RS-485 support the generic tty
    // layer does not offer.
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) return ERROR_INVALID_PARAMETER;
    DCB previous;
    {
      std::lock_guard lock(stateMutex_);
      previous = shadow_;
    }
    Termios2 before{};
    if (Ioctl(fd_, TCGETS2, &before) < 0) return Win32FromErrno(errno);
    Termios2 t = before;
    WriteTermios(dcb, t);
    if (Ioctl(fd_, TCSETS2, &t) < 0) {
      return errno == EINVAL ? ERROR_INVALID_PARAMETER : Win32FromErrno(errno);
    }
    // A UART driver falls back to another rate when it cannot make the one
    // asked for; that is a refusal, and the line goes back as it was. (A
    // pseudo-terminal keeps any rate, but always 8 bits without parity: it
    // has no wire, and what it keeps is what GetCommState reports.)
    Termios2 applied{};
    if (Ioctl(fd_, TCGETS2, &applied) == 0 && !CloseEnough(OutputBaud(applied), dcb.BaudRate)) {
      Ioctl(fd_, TCSETS2, &before);
      return ERROR_INVALID_PARAMETER;
    }
    if (DtrModeChanged(previous, dcb)) ApplyDtr(dcb);
    if (RtsModeChanged(previous, dcb)) ApplyRts(dcb);
    std::lock_guard lock(stateMutex_);
    abortOnError_ = dcb.fAbortOnError;
    shadow_ = dcb;
    shadow_.DCBlength = sizeof(DCB);
    shadow_.fBinary = 1;
    shadow_.fDummy2 = 0;
    return ERROR_SUCCESS;
  }

  // The kernel sizes a tty's buffers itself; the call still reports a
  // device that has gone.
  DWORD SetQueueSizes(DWORD, DWORD) override {
    int waiting = 0;
    return Ioctl(fd_, FIONREAD, &waiting) < 0 ? Win32FromErrno(errno) : ERROR_SUCCESS;
  }

  DWORD PurgeQueues(bool input, bool output) override {
    if (!input && !output) return ERROR_SUCCESS;
    // The look-ahead buffer and the tty's queue are emptied together: a
    // count on another thread cannot take bytes in between.
    std::unique_lock lock(aheadLock_, std::defer_lock);
    if (input) {
      lock.lock();
      aheadStart_ = aheadEnd_ = 0;
      behind_ = false;
    }
    const long which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return IoctlValue(fd_, TCFLSH, which) < 0 ? Win32FromErrno(errno) : ERROR_SUCCESS;
  }

  // Inline in ClearCommError (below), with the count.
  [[gnu::always_inline]] DWORD ClearErrors(DWORD& errors, COMSTAT& stat) override {
    size_t in = 0;
    if (const DWORD error = CountInput(in); error != ERROR_SUCCESS) return error;
    int out = 0;
    // Only this handle's writes fill the output queue (the line is raw, so
    // nothing is echoed, and exclusive): once it has been seen empty, it
    // stays empty until the next write, and a reader that never writes
    // makes one system call here, not two.
    const uint64_t writes = writes_.load(std::memory_order_relaxed);
    if (writes != emptyAfter_.load(std::memory_order_relaxed)) {
      if (Ioctl(fd_, TIOCOUTQ, &out) < 0) out = 0;
      if (out == 0) emptyAfter_.store(writes, std::memory_order_relaxed);
    }
    errors = 0;
    stat = COMSTAT{};
    stat.cbInQue = static_cast<DWORD>(std::min<size_t>(in, MAXDWORD));
    stat.cbOutQue = static_cast<DWORD>(out);
    stat.fXoffHold = xoffHold_.load(std::memory_order_relaxed);
    // Most USB bridges and every pty keep no error counters: no lock then.
    if (!counters_.load(std::memory_order_relaxed)) return ERROR_SUCCESS;
    std::lock_guard lock(stateMutex_);
    if (counters_) {
      serial_icounter_struct now{};
      if (Ioctl(fd_, TIOCGICOUNT, &now) == 0) {
        errors = ErrorFlags(now, baseline_);
        baseline_ = now;
      } else if (Unsupported(errno)) {
        counters_ = false;
      } else {
        return Win32FromErrno(errno);
      }
    }
    return ERROR_SUCCESS;
  }

  DWORD ModemStatus(DWORD& status) override {
    int bits = 0;
    if (Ioctl(fd_, TIOCMGET, &bits) < 0) return LineError(errno);
    status = 0;
    if (bits & TIOCM_CTS) status |= MS_CTS_ON;
    if (bits & TIOCM_DSR) status |= MS_DSR_ON;
    if (bits & TIOCM_RNG) status |= MS_RING_ON;
    if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
    return ERROR_SUCCESS;
  }

  DWORD Escape(DWORD function) override {
    DCB dcb;
    {
      std::lock_guard lock(stateMutex_);
      dcb = shadow_;
    }
    switch (function) {
      case SETXOFF:  // transmit as if XOFF had been received
      case SETXON: {
        // A break holds the output as well: SETXON does not end that hold.
        const bool hold = function == SETXOFF || breakOn_.load(std::memory_order_relaxed);
        if (IoctlValue(fd_, TCXONC, hold ? TCOOFF : TCOON) < 0) return LineError(errno);
        xoffHold_.store(function == SETXOFF, std::memory_order_relaxed);
        return ERROR_SUCCESS;
      }
      case SETRTS:
      case CLRRTS:
        // A line under handshake control is the driver's, not the caller's.
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
        return SetModemLine(TIOCM_RTS, function == SETRTS);
      case SETDTR:
      case CLRDTR:
        if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
        return SetModemLine(TIOCM_DTR, function == SETDTR);
      case RESETDEV:  // a serial port has nothing to reset; Windows' driver accepts it as well
        return ERROR_SUCCESS;
      case SETBREAK:
      case CLRBREAK: {
        // As on Windows, a break suspends transmission: what is written
        // meanwhile waits for the break to end instead of going out under
        // it, where the far end would see none of it. The output is held
        // once the break is on, not before: the kernel starts a break only
        // after what was written earlier has gone out, which held output
        // never would (a UART would wait there for ever).
        const bool on = function == SETBREAK;
        const bool xoff = xoffHold_.load(std::memory_order_relaxed);
        if (IoctlValue(fd_, on ? TIOCSBRK : TIOCCBRK, 0) < 0) return LineError(errno);
        if (on && IoctlValue(fd_, TCXONC, TCOOFF) < 0) {
          const int error = errno;
          if (!breakOn_.load(std::memory_order_relaxed)) IoctlValue(fd_, TIOCCBRK, 0);
          return LineError(error);
        }
        breakOn_.store(on, std::memory_order_relaxed);
        if (!on && !xoff && IoctlValue(fd_, TCXONC, TCOON) < 0) return LineError(errno);
        return ERROR_SUCCESS;
      }
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }

 protected:
  void WakeWaiters() override { wakers_.WakeAll(); }

 private:
  bool Buffered() {
    std::lock_guard lock(aheadLock_);
    return aheadStart_ < aheadEnd_;
  }

  // The count of bytes received and not yet read. A reader asks for it and
  // then reads what it was told: when nothing is taken ahead, the count
  // comes from reading the tty into the look-ahead buffer, so that the read
  // after it costs no system call. A read that fills the buffer, or bytes
  // already taken ahead, add the tty's own count (FIONREAD).
  [[gnu::always_inline]] DWORD CountInput(size_t& in) {
    int queued = 0;
    if (!canRead()) [[unlikely]] {
      if (Ioctl(fd_, FIONREAD, &queued) < 0) return Win32FromErrno(errno);
      in = static_cast<size_t>(queued);
      return ERROR_SUCCESS;
    }
    // A port polled while nothing arrives is asked for its count, which
    // costs less than a read that finds nothing; once bytes come, reading
    // ahead again saves the read after the count. An idle port's buffer is
    // empty, so the count needs no lock; should another thread read ahead
    // meanwhile, the bytes are its own to read.
    if (idle_.load(std::memory_order_acquire)) {
      if (Ioctl(fd_, FIONREAD, &queued) < 0) return Win32FromErrno(errno);
      if (queued == 0) {
        in = 0;
        return ERROR_SUCCESS;
      }
    }
    std::unique_lock lock(aheadLock_);
    if (aheadStart_ == aheadEnd_) [[likely]] {
      aheadStart_ = aheadEnd_ = 0;
      const long n = ReadInPlace(fd_, ahead_.data(), ahead_.size());
      if (n == 0) [[unlikely]]
        return ERROR_DEVICE_NOT_CONNECTED;  // hung up
      if (n < 0 && n != -EAGAIN) [[unlikely]]
        return Win32FromErrno(static_cast<int>(-n));
      idle_.store(n < 0, std::memory_order_release);
      if (n < 0) {
        in = 0;
        return ERROR_SUCCESS;
      }
      aheadEnd_ = static_cast<size_t>(n);
      in = aheadEnd_;
      const bool full = aheadEnd_ == ahead_.size();
      behind_ = full;  // the tty's own count is added below
      lock.unlock();
      // A reader waiting in poll on another thread may have been woken by
      // these bytes and found the tty empty again.
      if (readersWaiting_.load(std::memory_order_acquire) > 0) [[unlikely]]
        WakeWaiters();
      if (!full) [[likely]]
        return ERROR_SUCCESS;
    } else {
      // Bytes that came behind those taken ahead are taken too while the
      // buffer has room: a line that hangs up takes its own queue with it,
      // and what was counted must still be read.
      in = aheadEnd_ - aheadStart_;
      if (Ioctl(fd_, FIONREAD, &queued) < 0) return in > 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
      if (queued > 0 && in < ahead_.size()) {
        if (aheadStart_ > 0) {
          std::memmove(ahead_.data(), ahead_.data() + aheadStart_, in);
          aheadStart_ = 0;
          aheadEnd_ = in;
        }
        const long n = ReadInPlace(fd_, ahead_.data() + aheadEnd_, ahead_.size() - aheadEnd_);
        if (n == 0) queued = 0;  // hung up in between: its queue has gone
        if (n > 0) {
          aheadEnd_ += static_cast<size_t>(n);
          in = aheadEnd_;
          queued = std::max(0, queued - static_cast<int>(n));
          behind_ = queued > 0;
          lock.unlock();
          if (readersWaiting_.load(std::memory_order_acquire) > 0) WakeWaiters();
          in += static_cast<size_t>(queued);
          return ERROR_SUCCESS;
        }
      }
      behind_ = queued > 0;
      in += static_cast<size_t>(queued);
      return ERROR_SUCCESS;
    }
    // A line that has hung up has no count of its own; what was taken from
    // it before is still counted and read, as the null-modem's input is.
    if (Ioctl(fd_, FIONREAD, &queued) < 0) return in > 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
    in += static_cast<size_t>(queued);
    return ERROR_SUCCESS;
  }

  // DTR and RTS as the DCB says, where the device has the lines. DTR
  // handshake and DSR flow control have no Linux switch: they are kept in
  // the DCB and DTR stays raised. So is RTS handshake without CTS flow
  // control (the kernel drives RTS only together with CTS flow control).
  void ApplyDtr(const DCB& dcb) { SetModemLine(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE); }
  void ApplyRts(const DCB& dcb) {
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
      SetModemLine(TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    } else if (!dcb.fOutxCtsFlow) {
      SetModemLine(TIOCM_RTS, true);
    }
  }

  DWORD SetModemLine(int line, bool on) {
    int bits = line;
    return Ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) < 0 ? LineError(errno) : ERROR_SUCCESS;
  }

  const int fd_;
  const int lock_;
  WakeList wakers_;
  std::mutex stateMutex_;
  DCB shadow_{};                           // the DCB as last set; termios overrides what it holds
  std::atomic<bool> counters_{false};      // changed under stateMutex_
  std::atomic<bool> abortOnError_{false};  // shadow_.fAbortOnError, read without the lock
  serial_icounter_struct baseline_{};
  std::atomic<bool> xoffHold_{false};  // SETXOFF holds the output
  std::atomic<bool> breakOn_{false};
  std::atomic<uint64_t> writes_{0};               // write attempts on this handle
  std::atomic<uint64_t> emptyAfter_{UINT64_MAX};  // writes_ when the output queue was last empty
  // The look-ahead's counters lie before its buffer, beside the fields
  // above, so that a count and a short read touch one page of the device.
  ShortLock aheadLock_;  // held for a copy or one system call that never waits
  size_t aheadStart_ = 0, aheadEnd_ = 0;
  // The last read ahead found nothing (and so the buffer is empty); set
  // under aheadLock_.
  std::atomic<bool> idle_{false};
  // The last count included bytes still in the tty, behind those taken
  // ahead; under aheadLock_.
  bool behind_ = false;
  std::atomic<int> readersWaiting_{0};
  std::array<uint8_t, 4096> ahead_;  // bytes read from the tty, not yet by the caller
};

}  // namespace

// Here rather than with the other device operations, so that a tty's count,
// the read ahead's system call among it, runs in this frame: the way back
// from that call passes one frame fewer (see Platform).
KAVREL_READ_PATH BOOL TtyDeviceOps::ClearCommError(Handle32 file, DWORD* errors, COMSTAT* stat) {
  return OnDevice(file, [&](Device& d) {
    if (typeid(TtyDevice) == typeid(d)) [[likely]] {
      return calls::ClearErrors(static_cast<TtyDevice&>(d), errors, stat);
    }
    return calls::ClearErrorsOfAny(d, errors, stat);
  });
}

// Synchronous: the transfer has ended when the call returns, so the
// overlapped record is not used; GetOverlappedResult answers from the
// handle's last transfer. A tty's read from its look-ahead buffer calls
// nothing through the device's interface.
KAVREL_READ_PATH BOOL TtyDeviceOps::ReadFile(Handle32 file, void* buffer, DWORD toRead, DWORD* read,
                                             OVERLAPPED*) {
  if (read) *read = 0;
  return OnDevice(file, [&](Device& d) {
    if (typeid(TtyDevice) == typeid(d)) [[likely]] {
      return calls::Read(static_cast<TtyDevice&>(d), buffer, toRead, read);
    }
    return calls::ReadOfAny(d, buffer, toRead, read);
  });
}

namespace {

// The device number of the terminal an open descriptor reaches, which for
// /dev/tty and /dev/console is not the number of the node that was opened.
std::optional<dev_t> ReachedTerminal(int fd) {
  unsigned encoded = 0;  // the kernel's 32-bit encoding: 12 bits major, 20 minor
  if (ioctl(fd, TIOCGDEV, &encoded) < 0) return std::nullopt;
  return makedev((encoded & 0xfff00) >> 8, (encoded & 0xff) | ((encoded >> 12) & 0xfff00));
}

// The node under /dev of a terminal known by its number: the devpts entry
// of a pseudo-terminal, else the name its sysfs entry gives. Empty when no
// node with that number is there.
std::string TerminalNode(dev_t terminal) {
  std::string path;
  if (major(terminal) == 136) {
    path = "/dev/pts/" + std::to_string(minor(terminal));
  } else {
    const std::string name = UeventNodeName("/sys/dev/char/" + std::to_string(major(terminal)) +
                                            ":" + std::to_string(minor(terminal)) + "/uevent");
    if (name.empty()) return {};
    path = "/dev/" + name;
  }
  struct stat node {};
  if (stat(path.c_str(), &node) < 0 || !S_ISCHR(node.st_mode) || node.st_rdev != terminal) {
    return {};
  }
  return path;
}

// The descriptor to hold the open's flock on. One opener at a time is a
// rule about the terminal, not about the name it was opened by: through
// /dev/tty or /dev/console the lock goes on the terminal's own node, where
// an open by that name takes it too. -1 with error set when another open
// holds the terminal exclusively.
int LockDescriptor(int fd, dev_t opened, DWORD& error) {
  const std::optional<dev_t> reached = ReachedTerminal(fd);
  if (!reached || *reached == opened) return fd;
  const std::string node = TerminalNode(*reached);
  if (node.empty()) return fd;
  int lock;
  do {
    lock = open(node.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (lock < 0 && errno == EINTR);
  if (lock >= 0) return lock;
  if (errno == EBUSY) {  // held under TIOCEXCL
    error = ERROR_ACCESS_DENIED;
    return -1;
  }
  return fd;
}

// The fixed majors of the terminal and serial drivers.
bool TerminalMajor(unsigned major) {
  switch (major) {
    case 4:    // ttyS, virtual consoles
    case 5:    // tty, console, ptmx
    case 166:  // ttyACM
    case 188:  // ttyUSB
    case 204:  // low-density serial ports (ttyAMA, ...)
      return true;
    default:
      return false;
  }
}

}  // namespace

bool IsTerminalDevice(unsigned major, unsigned minor, const char* sysfsChar) {
  if (major >= 136 && major <= 143) return true;  // /dev/pts/N
  const std::string entry =
      std::string(sysfsChar) + "/" + std::to_string(major) + ":" + std::to_string(minor);
  char target[PATH_MAX];
  const ssize_t n = readlink((entry + "/subsystem").c_str(), target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    const char* base = std::strrchr(target, '/');
    return std::strcmp(base ? base + 1 : target, "tty") == 0;
  }
  struct stat root {};
  if (stat(sysfsChar, &root) == 0) return false;  // sysfs knows it, and not as a tty
  return TerminalMajor(major);
}

bool IsVanishedSerialDevice(unsigned major, unsigned minor, const char* sysfsChar) {
  // /dev/tty, /dev/console and /dev/ptmx (major 5) never go away.
  if (major == 5 || !TerminalMajor(major)) return false;
  const std::string entry =
      std::string(sysfsChar) + "/" + std::to_string(major) + ":" + std::to_string(minor);
  struct stat st {};
  if (stat(sysfsChar, &st) < 0) return false;  // no sysfs to ask
  return lstat(entry.c_str(), &st) < 0 && errno == ENOENT;
}

DWORD UnusableTerminalError(int probeError) {
  return probeError == EIO ? ERROR_FILE_NOT_FOUND : ERROR_NOT_SUPPORTED;
}

DWORD OpenTty(const std::string& path, bool canRead, bool canWrite,
              std::shared_ptr<Device>& device) {
  // A handle on the object the path leads to now; it can neither read nor
  // write, and opening it runs no driver code.
  int object;
  do {
    object = open(path.c_str(), O_PATH | O_CLOEXEC);
  } while (object < 0 && errno == EINTR);
  if (object < 0) {
    const int error = errno;
    // As on Windows: a missing folder is a missing path, not a missing file.
    struct stat folder {};
    const size_t slash = path.find_last_of('/');
    if (error == ENOENT && slash != std::string::npos && slash > 0 &&
        stat(path.substr(0, slash).c_str(), &folder) < 0) {
      return ERROR_PATH_NOT_FOUND;
    }
    return Win32FromErrno(error);
  }
  struct stat info {};
  const bool character = fstat(object, &info) == 0 && S_ISCHR(info.st_mode);
  if (!character || !IsTerminalDevice(major(info.st_rdev), minor(info.st_rdev))) {
    close(object);
    // A node whose adapter has gone (a copy of /dev in a container, a
    // static /dev) is a missing port, not a device of another kind.
    return character && IsVanishedSerialDevice(major(info.st_rdev), minor(info.st_rdev))
               ? ERROR_FILE_NOT_FOUND
               : ERROR_NOT_SUPPORTED;
  }

  // Now that very inode, for transfers: whatever the path names meanwhile.
  const std::string self = "/proc/self/fd/" + std::to_string(object);
  const int mode = canWrite ? (canRead ? O_RDWR : O_WRONLY) : O_RDONLY;
  int fd;
  do {
    fd = open(self.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  const int openError = errno;
  close(object);
  if (fd < 0) return Win32FromErrno(openError);

  Termios2 probe{};
  if (Ioctl(fd, TCGETS2, &probe) < 0) {
    const int probeError = errno;
    close(fd);
    return UnusableTerminalError(probeError);
  }
  // TIOCEXCL keeps other processes out (but not root); the advisory lock
  // covers root, other opens in this process and other serial tools.
  DWORD lockError = ERROR_SUCCESS;
  const int lock = LockDescriptor(fd, info.st_rdev, lockError);
  if (lock < 0) {
    close(fd);
    return lockError;
  }
  const auto release = [&] {
    if (lock != fd) close(lock);
    close(fd);
  };
  if (flock(lock, LOCK_EX | LOCK_NB) < 0) {
    const int error = errno;
    release();
    return error == EWOULDBLOCK ? ERROR_ACCESS_DENIED : Win32FromErrno(error);
  }
  IoctlValue(fd, TIOCEXCL, 0);

  auto tty = std::make_shared<TtyDevice>(fd, lock, canRead, canWrite);
  if (const DWORD error = tty->Prepare(); error != ERROR_SUCCESS) return error;
  device = std::move(tty);
  return ERROR_SUCCESS;
}

}  // namespace kavrel::platform::posix
