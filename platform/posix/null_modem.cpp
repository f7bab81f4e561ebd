#include "platform/posix/null_modem.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <new>

#include "platform/line_modes.h"
#include "platform/posix/line_settings.h"
#include "platform/posix/short_lock.h"

namespace kavrel::platform::posix {

namespace {

constexpr size_t kDefaultQueue = 4096;
constexpr size_t kSmallestQueue = 64;
constexpr DWORD kLineErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;

struct End {
  bool open = false;
  bool paced = false;
  DCB dcb = DefaultDcb();
  size_t inCapacity = kDefaultQueue;
  size_t outCapacity = kDefaultQueue;
  std::deque<uint8_t> in;           // received, waiting to be read
  std::deque<uint8_t> transit;      // sent with pacing, still on the wire
  Clock::time_point headArrival{};  // when transit.front() reaches the peer
  bool dtr = false;
  bool rts = false;
  bool breakOn = false;
  bool xoffHold = false;  // SETXOFF
  bool ring = false;
  DWORD errors = 0;
  bool peerGone = false;
};

struct Cable {
  std::mutex mutex;
  std::condition_variable changed;
  // Counts the changes, so that a waiter can watch for one without the lock.
  std::atomic<uint32_t> generation{0};
  std::array<End, 2> ends;
  bool gone = false;  // its ends were freed at exit or unload: it opens no more

  // With the mutex held.
  void Changed() {
    generation.fetch_add(1, std::memory_order_release);
    changed.notify_all();
  }
};

// Before a waiter sleeps it watches the cable this long: when the other end
// is busy with a stream, its next step comes within microseconds, while
// waking a sleeping thread takes tens of them.
constexpr auto kWatchBeforeSleep = std::chrono::microseconds(50);

// The cables outlive the exit handlers: a thread the host left running may
// still be moving bytes over one while the process exits. What goes at exit
// (or unload) is the queues of the cables with no end open; such a cable is
// marked gone, so that a late open is refused instead of finding it freed.
union Cables {
  std::array<Cable, kNullModemCables> cable;
  Cables() : cable() {}
  ~Cables() {
    for (Cable& c : cable) {
      std::lock_guard lock(c.mutex);
      if (c.ends[0].open || c.ends[1].open) continue;
      std::destroy_at(&c.ends);
      c.gone = true;
    }
  }
};

Cable& CableNumber(unsigned n) {
  static Cables cables;
  return cables.cable[n];
}

bool StartsWithNoCase(std::string_view text, std::string_view upper) {
  if (text.size() < upper.size()) return false;
  for (size_t i = 0; i < upper.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

// Whether from may not send now: a break, SETXOFF, or CTS or DSR flow
// control with that line low. Paced bytes already queued wait as well, as
// in a UART's transmit buffer.
bool Held(const End& from, const End& to) {
  if (from.breakOn || from.xoffHold) return true;
  if (from.dcb.fOutxCtsFlow && !(to.open && to.rts)) return true;
  if (from.dcb.fOutxDsrFlow && !(to.open && to.dtr)) return true;
  return false;
}

// headArrival of a queue whose first byte waits for a hold to end.
constexpr Clock::time_point kNotStarted = Clock::time_point::max();

// Moves the paced bytes of from that have reached to by now. A hold lets
// the byte on the line finish; the next one starts when the hold ends.
void Deliver(End& from, End& to, Clock::time_point now) {
  if (from.transit.empty()) return;
  const bool held = Held(from, to);
  if (from.headArrival == kNotStarted) {
    if (held) return;
    from.headArrival = now + CharacterTime(from.dcb);
  }
  while (!from.transit.empty() && from.headArrival <= now) {
    if (to.open && to.in.size() >= to.inCapacity) {
      // The receiver is full: the byte waits on the wire.
      from.headArrival = now + CharacterTime(from.dcb);
      return;
    }
    if (to.open) to.in.push_back(from.transit.front());
    from.transit.pop_front();
    if (held) {
      from.headArrival = kNotStarted;
      return;
    }
    from.headArrival += CharacterTime(from.dcb);
  }
}

// Both ways; with the cable's mutex held. Called before and after anything
// that may hold or release a sender, so that a hold starts and ends on time.
void Settle(Cable& cable, Clock::time_point now) {
  Deliver(cable.ends[0], cable.ends[1], now);
  Deliver(cable.ends[1], cable.ends[0], now);
}

void FollowLineModes(End& end, const DCB& before) {
  if (DtrModeChanged(before, end.dcb)) {
    end.dtr = end.dcb.fDtrControl != DTR_CONTROL_DISABLE;
  }
  if (RtsModeChanged(before, end.dcb)) {
    end.rts =
        end.dcb.fRtsControl == RTS_CONTROL_ENABLE || end.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  }
}

void RaiseLines(End& end) {
  end.dtr = end.dcb.fDtrControl != DTR_CONTROL_DISABLE;
  end.rts =
      end.dcb.fRtsControl == RTS_CONTROL_ENABLE || end.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
}

class NullModemEnd final : public Device {
 public:
  NullModemEnd(Cable& cable, unsigned side, bool canRead, bool canWrite)
      : Device(canRead, canWrite),
        cable_(cable),
        me_(cable.ends[side]),
        peer_(cable.ends[1 - side]) {}

  ~NullModemEnd() override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());
    Drain();
    me_.open = false;
    me_.dtr = me_.rts = me_.breakOn = me_.xoffHold = false;
    me_.in.clear();
    me_.peerGone = false;
    me_.errors = 0;
    peer_.transit.clear();  // nobody is listening at this end any more
    if (peer_.open) peer_.peerGone = true;
    Settle(Clock::now());
    cable_.Changed();
  }

  Moved ReadNow(uint8_t* buffer, size_t size) override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());
    if (me_.in.empty()) return {0, me_.peerGone ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS};
    const size_t count = std::min(size, me_.in.size());
    std::copy_n(me_.in.begin(), count, buffer);
    me_.in.erase(me_.in.begin(), me_.in.begin() + static_cast<std::ptrdiff_t>(count));
    cable_.Changed();  // room for a writer at the other end
    return {count, ERROR_SUCCESS};
  }

  Moved WriteNow(const uint8_t* data, size_t size) override {
    std::lock_guard lock(cable_.mutex);
    const Clock::time_point now = Clock::now();
    Settle(now);
    if (me_.peerGone) return {0, ERROR_DEVICE_NOT_CONNECTED};
    const size_t count = std::min(size, Room());
    if (count == 0) return {};
    if (me_.paced) {
      if (me_.transit.empty()) me_.headArrival = now + CharacterTime(me_.dcb);
      me_.transit.insert(me_.transit.end(), data, data + count);
    } else if (peer_.open) {
      peer_.in.insert(peer_.in.end(), data, data + count);
    }  // else nothing is connected: the bytes go out onto an open line
    cable_.Changed();
    return {count, ERROR_SUCCESS};
  }

  Waited Wait(bool forWrite, const Deadline& deadline, uint64_t ticket) override {
    std::unique_lock lock(cable_.mutex);
    for (bool watched = false;;) {
      if (AbortTicket(forWrite) != ticket) return {WaitResult::kAborted};
      const Clock::time_point now = Clock::now();
      Settle(now);
      const bool ready =
          forWrite ? (me_.peerGone || Room() > 0) : (me_.peerGone || !me_.in.empty());
      if (ready || (me_.dcb.fAbortOnError && me_.errors)) return {WaitResult::kReady};
      if (deadline && now >= *deadline) return {WaitResult::kTimedOut};
      Deadline until = deadline;
      // A held sender starts again only through a change, which wakes this.
      for (const End* sender : {&me_, &peer_}) {
        if (!sender->transit.empty() && sender->headArrival != kNotStarted &&
            (!until || sender->headArrival < *until)) {
          until = sender->headArrival;
        }
      }
      if (!watched && (!until || *until - now > kWatchBeforeSleep)) {
        watched = true;
        const uint32_t seen = cable_.generation.load(std::memory_order_acquire);
        const Clock::time_point stop = now + kWatchBeforeSleep;
        lock.unlock();
        for (unsigned i = 1; cable_.generation.load(std::memory_order_acquire) == seen &&
                             AbortTicket(forWrite) == ticket;
             ++i) {
          CpuRelax();
          if (i % 64 == 0 && Clock::now() >= stop) break;
        }
        lock.lock();
        continue;
      }
      if (until) {
        cable_.changed.wait_until(lock, *until);
      } else {
        cable_.changed.wait(lock);
      }
    }
  }

  bool AbortingErrorPending() override {
    std::lock_guard lock(cable_.mutex);
    return me_.dcb.fAbortOnError && me_.errors != 0;
  }

  DWORD GetState(DCB& dcb) override {
    std::lock_guard lock(cable_.mutex);
    dcb = me_.dcb;
    return ERROR_SUCCESS;
  }

  DWORD SetState(const DCB& dcb) override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());  // bytes on the wire went at the old rate
    const DCB before = me_.dcb;
    me_.dcb = dcb;
    me_.dcb.DCBlength = sizeof(DCB);
    me_.dcb.fBinary = 1;
    me_.dcb.fDummy2 = 0;
    FollowLineModes(me_, before);
    Settle(Clock::now());
    cable_.Changed();
    return ERROR_SUCCESS;
  }

  DWORD SetQueueSizes(DWORD inQueue, DWORD outQueue) override {
    std::lock_guard lock(cable_.mutex);
    me_.inCapacity = std::max<size_t>(inQueue, kSmallestQueue);
    me_.outCapacity = std::max<size_t>(outQueue, kSmallestQueue);
    cable_.Changed();
    return ERROR_SUCCESS;
  }

  DWORD PurgeQueues(bool input, bool output) override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());
    if (input) me_.in.clear();
    if (output) me_.transit.clear();
    cable_.Changed();
    return ERROR_SUCCESS;
  }

  DWORD ClearErrors(DWORD& errors, COMSTAT& stat) override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());
    if (me_.peerGone && me_.in.empty()) return ERROR_DEVICE_NOT_CONNECTED;
    errors = me_.errors;
    me_.errors = 0;
    stat = COMSTAT{};
    stat.fCtsHold = me_.dcb.fOutxCtsFlow && !Cts();
    stat.fDsrHold = me_.dcb.fOutxDsrFlow && !Dsr();
    stat.fXoffHold = me_.xoffHold;
    stat.cbInQue = static_cast<DWORD>(me_.in.size());
    stat.cbOutQue = static_cast<DWORD>(me_.transit.size());
    return ERROR_SUCCESS;
  }

  DWORD ModemStatus(DWORD& status) override {
    std::lock_guard lock(cable_.mutex);
    status = 0;
    if (Cts()) status |= MS_CTS_ON;
    if (Dsr()) status |= MS_DSR_ON | MS_RLSD_ON;
    if (me_.ring) status |= MS_RING_ON;
    return ERROR_SUCCESS;
  }

  DWORD Escape(DWORD function) override {
    std::lock_guard lock(cable_.mutex);
    Settle(Clock::now());
    switch (function) {
      case SETXOFF:
      case SETXON:
        me_.xoffHold = function == SETXOFF;
        break;
      case SETRTS:
      case CLRRTS:
        if (me_.dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ||
            me_.dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
          return ERROR_INVALID_PARAMETER;  // the driver owns the line
        }
        me_.rts = function == SETRTS;
        break;
      case SETDTR:
      case CLRDTR:
        if (me_.dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
        me_.dtr = function == SETDTR;
        break;
      case RESETDEV:
        break;
      case SETBREAK:
        if (!me_.breakOn && peer_.open) peer_.errors |= CE_BREAK;
        me_.breakOn = true;
        break;
      case CLRBREAK:
        me_.breakOn = false;
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
    Settle(Clock::now());
    cable_.Changed();
    return ERROR_SUCCESS;
  }

 protected:
  void WakeWaiters() override {
    std::lock_guard lock(cable_.mutex);
    cable_.Changed();
  }

 private:
  // The rest hold the cable's mutex.

  bool Cts() const { return peer_.open && peer_.rts; }
  bool Dsr() const { return peer_.open && peer_.dtr; }

  // Bytes this end may send now: none while the line is held (break,
  // SETXOFF, CTS or DSR flow control), else what the wire or the other
  // end's input queue still takes.
  size_t Room() const {
    if (Held(me_, peer_)) return 0;
    if (me_.paced) return me_.outCapacity - std::min(me_.outCapacity, me_.transit.size());
    if (!peer_.open) return SIZE_MAX;
    return peer_.inCapacity - std::min(peer_.inCapacity, peer_.in.size());
  }

  void Settle(Clock::time_point now) { posix::Settle(cable_, now); }

  // At a close, what a paced end still has on the wire arrives first, as a
  // serial port's close waits for its output to drain: a device that answers
  // and hangs up must not lose its answer, nor leave it to reach whoever
  // opens the other end next. A held line sends nothing more; bytes the
  // peer's full queue cannot take are an overrun there.
  void Drain() {
    if (peer_.open && !Held(me_, peer_)) {
      const size_t room = peer_.inCapacity - std::min(peer_.inCapacity, peer_.in.size());
      const size_t count = std::min(room, me_.transit.size());
      peer_.in.insert(peer_.in.end(), me_.transit.begin(),
                      me_.transit.begin() + static_cast<std::ptrdiff_t>(count));
      if (count < me_.transit.size()) peer_.errors |= CE_RXOVER;
    }
    me_.transit.clear();
  }

  Cable& cable_;
  End& me_;
  End& peer_;
};

}  // namespace

std::optional<NullModemEndName> ParseNullModemName(std::string_view name) {
  if (name.substr(0, 4) == "\\\\.\\") name.remove_prefix(4);
  if (!StartsWithNoCase(name, "NULLMODEM")) return std::nullopt;
  name.remove_prefix(9);
  NullModemEndName parsed;
  constexpr std::string_view kPaced = ":PACED";
  if (name.size() > kPaced.size() &&
      StartsWithNoCase(name.substr(name.size() - kPaced.size()), kPaced)) {
    parsed.paced = true;
    name.remove_suffix(kPaced.size());
  }
  if (name.size() < 2 || name.size() > 3) return std::nullopt;
  const char side = name.back();
  if (side == 'A' || side == 'a') {
    parsed.end = 0;
  } else if (side == 'B' || side == 'b') {
    parsed.end = 1;
  } else {
    return std::nullopt;
  }
  name.remove_suffix(1);
  if (name.size() > 1 && name[0] == '0') return std::nullopt;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    parsed.cable = parsed.cable * 10 + static_cast<unsigned>(c - '0');
  }
  if (parsed.cable >= kNullModemCables) return std::nullopt;
  return parsed;
}

DWORD OpenNullModemEnd(const NullModemEndName& name, bool canRead, bool canWrite,
                       std::shared_ptr<Device>& device) {
  Cable& cable = CableNumber(name.cable);
  {
    std::lock_guard lock(cable.mutex);
    if (cable.gone) return ERROR_FILE_NOT_FOUND;  // the process is ending
    End& end = cable.ends[name.end];
    if (end.open) return ERROR_ACCESS_DENIED;
    Settle(cable, Clock::now());
    end.open = true;
    end.paced = name.paced;
    end.peerGone = false;
    end.errors = 0;
    end.in.clear();
    end.breakOn = false;
    end.xoffHold = false;
    RaiseLines(end);
    Settle(cable, Clock::now());
    cable.Changed();
  }
  try {
    device = std::make_shared<NullModemEnd>(cable, name.end, canRead, canWrite);
  } catch (const std::bad_alloc&) {
    std::lock_guard lock(cable.mutex);
    cable.ends[name.end].open = false;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

namespace {

template <class Change>
bool ChangeOpenEnd(std::string_view endName, Change change) {
  const std::optional<NullModemEndName> name = ParseNullModemName(endName);
  if (!name) return false;
  Cable& cable = CableNumber(name->cable);
  std::lock_guard lock(cable.mutex);
  End& end = cable.ends[name->end];
  if (!end.open) return false;
  change(end);
  cable.Changed();
  return true;
}

}  // namespace

bool NullModemInjectLineErrors(std::string_view endName, DWORD errors) {
  return ChangeOpenEnd(endName, [&](End& end) { end.errors |= errors & kLineErrors; });
}

bool NullModemSetRing(std::string_view endName, bool on) {
  return ChangeOpenEnd(endName, [&](End& end) { end.ring = on; });
}

}  // namespace kavrel::platform::posix
