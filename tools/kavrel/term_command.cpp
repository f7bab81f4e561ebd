// kavrel term: an interactive terminal on a port. Keys go out, what arrives
// is shown, modem line changes are reported; Ctrl-] quits.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "tools/kavrel/comm_port.h"
#include "tools/kavrel/commands.h"
#include "tools/kavrel/options.h"
#include "tools/kavrel/stream_format.h"

namespace kavrel::cli {

namespace {

constexpr short kBreakLine = 1, kDtrLine = 2, kRtsLine = 3;
constexpr const char* kKeysHelp =
    "\n[Ctrl-] quits; Ctrl-T then: d DTR on/off, r RTS on/off, b break, Ctrl-T sends Ctrl-T]\n";

// The terminal's settings before raw mode and in it, for the signal
// handlers too.
struct termios savedTermios, rawTermios;
volatile sig_atomic_t termiosSaved = 0;

// Set once the device has sent what can switch modes of the terminal that
// shows it: an escape or a shift-out (another character set).
volatile sig_atomic_t displayModesTouched = 0;

// Puts back what a device's output may have switched on the way out: the
// normal screen, a visible cursor, mouse reporting off, then a soft reset
// (character sets, attributes, margins, cursor and keypad modes).
constexpr char kDisplayReset[] =
    "\x1b[?1047l\x1b[?25h\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1006l\x1b[?2004l"
    "\x1b[!p\x0f\x1b(B\x1b[0m";

void RestoreTerminal() {
  if (displayModesTouched && ::isatty(STDOUT_FILENO)) {
    displayModesTouched = 0;
    [[maybe_unused]] const ssize_t n =
        ::write(STDOUT_FILENO, kDisplayReset, sizeof kDisplayReset - 1);
  }
  if (termiosSaved) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTermios);
}

// A signal that ends the process puts the terminal back first, then ends
// it the way the signal would have.
void OnFatalSignal(int sig) {
  RestoreTerminal();
  ReleasePortsOnSignal();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Stopped from outside (the keyboard's Ctrl-Z goes to the device): the
// shell gets its terminal back while term is stopped, raw keys again when it
// goes on.
void OnStop(int) {
  const int saved = errno;
  if (termiosSaved) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTermios);
  ::raise(SIGSTOP);
  errno = saved;
}
void OnContinue(int) {
  const int saved = errno;
  if (termiosSaved) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &rawTermios);
  errno = saved;
}

// The keyboard's settings, taken before the port opens: the port may be
// this very terminal, and opening it changes them.
std::optional<struct termios> KeyboardSettings() {
  struct termios settings;
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &settings) != 0) return std::nullopt;
  return settings;
}

// Raw keys while it lives; the terminal as it was before (the keyboard's
// settings) afterwards, on every way out (return, error, signal).
class RawTerminal {
 public:
  explicit RawTerminal(const std::optional<struct termios>& before) {
    if (!before) return;
    savedTermios = *before;
    termiosSaved = 1;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGSEGV, SIGABRT, SIGBUS, SIGFPE}) {
      struct sigaction sa {};
      sa.sa_handler = OnFatalSignal;
      sigemptyset(&sa.sa_mask);
      ::sigaction(sig, &sa, nullptr);
    }
    rawTermios = savedTermios;
    ::cfmakeraw(&rawTermios);
    rawTermios.c_oflag = savedTermios.c_oflag;  // received line feeds still start a new line
    rawTermios.c_cc[VMIN] = 1;
    rawTermios.c_cc[VTIME] = 0;
    using Handler = void (*)(int);
    for (auto [sig, handler] : {std::pair<int, Handler>{SIGTSTP, OnStop}, {SIGCONT, OnContinue}}) {
      struct sigaction sa {};
      sa.sa_handler = handler;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = SA_RESTART;
      ::sigaction(sig, &sa, nullptr);
    }
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &rawTermios);
  }
  ~RawTerminal() {
    for (int sig : {SIGTSTP, SIGCONT}) ::signal(sig, SIG_DFL);
    RestoreTerminal();
    termiosSaved = 0;
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
};

// Standard output's first write error (0 while there is none): term ends
// on it rather than go on dropping what arrives.
int outputError = 0;

void WriteOut(const std::string& text) {
  size_t done = 0;
  while (done < text.size() && outputError == 0) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      outputError = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
}

// "on" or "off" for --dtr and --rts; on when not given.
std::optional<bool> LineOption(const ParsedArgs& parsed, const std::string& name) {
  const std::string value = parsed.Get(name, "on");
  if (value == "on") return true;
  if (value == "off") return false;
  return std::nullopt;
}

}  // namespace

int RunTerm(const Args& args) {
  ParsedArgs parsed;
  if (const auto done = ParseCommand("term", args,
                                     {{"--baud", true},
                                      {"--mode", true},
                                      {"--echo"},
                                      {"--eol", true},
                                      {"--hex"},
                                      {"--dtr", true},
                                      {"--rts", true}},
                                     &parsed))
    return *done;
  if (parsed.positional.size() != 1) return UsageError("term", "give one PORT");
  const std::optional<LineEnding> ending = ParseLineEnding(parsed.Get("--eol", "cr"));
  if (!ending) return UsageError("term", "--eol takes cr, lf or crlf");
  std::optional<bool> dtr = LineOption(parsed, "--dtr"), rts = LineOption(parsed, "--rts");
  if (!dtr || !rts) return UsageError("term", "--dtr and --rts take on or off");
  std::string mode;
  int status = kExitOk;
  const std::string& name = parsed.positional[0];
  const std::optional<struct termios> keyboard = KeyboardSettings();
  std::unique_ptr<CommPort> port = OpenFromArgs("term", name, parsed, &mode, &status);
  if (!port) return status;
  // As a host's OpenComm does; a device without the lines just refuses.
  port->SetLine(kDtrLine, *dtr);
  port->SetLine(kRtsLine, *rts);
  std::fprintf(stderr, "kavrel term: %s, %s. Ctrl-] quits, Ctrl-T h for more.\n",
               DescribeDevice(name).c_str(), mode.c_str());

  const bool echo = parsed.Has("--echo");
  const bool hex = parsed.Has("--hex");
  InputTranslator input(*ending);
  KeyReader keyReader;
  HexView hexView;
  std::string failure;
  {
    RawTerminal terminal(keyboard);
    bool linesKnown = false, linesAvailable = true;
    unsigned lines = 0;
    auto nextLineCheck = std::chrono::steady_clock::now();
    bool quit = false, inputEnded = false;
    auto endAt = std::chrono::steady_clock::time_point::max();
    // Sets an output line and says what became of it.
    auto setLine = [&](short line, const char* lineName, bool on) {
      const bool done = port->SetLine(line, on);
      WriteOut(std::string("\n[") + lineName + (on ? " on" : " off") +
               (done ? "]\n" : ": refused by the device]\n"));
      return done;
    };
    outputError = 0;
    bool received = false;
    while (!quit && failure.empty() && outputError == 0) {
      pollfd fds{inputEnded ? -1 : STDIN_FILENO, POLLIN, 0};
      // A read returns at most 1024 bytes: while bytes keep coming, read again
      // at once, or a fast line outruns the device's buffers and loses data.
      const int ready = ::poll(&fds, 1, received ? 0 : 10);
      if (ready > 0 && (fds.revents & (POLLIN | POLLHUP | POLLERR))) {
        char typed[256];
        const ssize_t n = ::read(STDIN_FILENO, typed, sizeof typed);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
          // Input from a pipe ended: show what still arrives for a moment.
          inputEnded = true;
          endAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        }
        for (const TermKey& key :
             keyReader.Feed(std::string_view(typed, n > 0 ? static_cast<size_t>(n) : 0))) {
          switch (key.kind) {
            case TermKey::Text: {
              std::string shown;
              const std::string out = input.Translate(key.text, &shown);
              const long written = out.empty() ? 0 : port->Write(out);
              if (written < 0)
                failure = port->Failure();
              else if (written != static_cast<long>(out.size()))
                // A time-out (flow control holding the line): the component
                // records no error for it, so its error line would be empty.
                failure = "the write timed out after " + std::to_string(written) + " of " +
                          std::to_string(out.size()) + " bytes";
              else if (echo)
                WriteOut(shown);
              break;
            }
            case TermKey::Quit:
              quit = true;
              break;
            case TermKey::ToggleDtr:
              if (setLine(kDtrLine, "DTR", !*dtr)) dtr = !*dtr;
              break;
            case TermKey::ToggleRts:
              if (setLine(kRtsLine, "RTS", !*rts)) rts = !*rts;
              break;
            case TermKey::Break:
              if (setLine(kBreakLine, "break", true)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                setLine(kBreakLine, "break", false);
              }
              break;
            case TermKey::Help:
              WriteOut(kKeysHelp);
              break;
          }
          if (quit || !failure.empty()) break;
        }
        if (quit || !failure.empty()) break;
      }
      std::string got;
      if (!port->Read(&got)) {
        failure = port->Failure();
        break;
      }
      received = !got.empty();
      if (!got.empty() && !hex && got.find_first_of("\x1b\x0e") != std::string::npos)
        displayModesTouched = 1;
      if (!got.empty()) WriteOut(hex ? hexView.Format(got) : got);

      const auto now = std::chrono::steady_clock::now();
      if (linesAvailable && now >= nextLineCheck) {
        nextLineCheck = now + std::chrono::milliseconds(100);
        unsigned current = 0;
        if (!port->ModemLines(&current)) {
          linesAvailable = false;
          WriteOut("\n[modem lines: not available on this device]\n");
        } else if (!linesKnown || current != lines) {
          linesKnown = true;
          lines = current;
          WriteOut("\n[" + FormatModemLines(lines) + "]\n");
        }
      }
      if (inputEnded && now >= endAt) break;
    }
  }
  if (!failure.empty()) {
    std::fprintf(stderr, "\nkavrel term: %s\n", failure.c_str());
    return kExitDevice;
  }
  if (outputError != 0) {
    std::fprintf(stderr, "\nkavrel: writing standard output: %s\n", std::strerror(outputError));
    return kExitOutput;
  }
  std::fprintf(stderr, "\n");
  return kExitOk;
}

}  // namespace kavrel::cli
