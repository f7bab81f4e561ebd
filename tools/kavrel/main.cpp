// kavrel: find serial ports, talk to them and send files from a shell,
// through the comms object, so what it shows is what a host gets.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/kavrel/comm_port.h"
#include "tools/kavrel/commands.h"

#ifndef KAVREL_TOOL_VERSION
#define KAVREL_TOOL_VERSION "0"
#endif

namespace kavrel::cli {

namespace {

constexpr const char* kOverview =
    "usage: kavrel COMMAND [ARGS]\n"
    "\n"
    "  list [--json] [--all]       the serial ports of this machine and their COM names\n"
    "  find VID:PID[:SERIAL]       the device path of one USB adapter\n"
    "  term PORT [options]         an interactive terminal on a port (Ctrl-] quits)\n"
    "  send PORT FILE|-            send a file, or standard input\n"
    "  query PORT TEXT [options]   send a text and print the reply\n"
    "\n"
    "PORT is a device path (/dev/ttyUSB0), a COM name (COM3) or a built-in device\n"
    "(NULLMODEM0A). 'kavrel COMMAND --help' tells more; 'kavrel --version' the version.\n"
    "Exit status: 0 done, 1 nothing found or no reply, 2 several adapters found,\n"
    "3 the port failed, 64 bad command line, 74 standard output could not be written.\n";

constexpr const char* kList =
    "usage: kavrel list [--json] [--all]\n"
    "\n"
    "The serial ports of this machine, one a line: device, driver, for USB adapters\n"
    "vendor:product id, serial number, manufacturer, product, interface and USB\n"
    "location, the /dev/serial/by-id link, and the COM names that open the port\n"
    "(from KAVREL_COMn, the registry file's port map, or the /dev/ttyS{n-1} default).\n"
    "COM names mapped to something else (a built-in device, a path with no port\n"
    "behind it) follow as 'COMn -> TARGET'.\n"
    "\n"
    "  --json   one JSON document: {\"ports\": [...], \"other_com_names\": [...]}\n"
    "  --all    also legacy ttyS ports that have no UART behind them, and ports\n"
    "           with no node in /dev\n";

constexpr const char* kFind =
    "usage: kavrel find VID:PID[:SERIAL]\n"
    "\n"
    "Prints the device path of the USB serial adapter with that vendor and product\n"
    "id (hexadecimal) and, if given, that serial number:\n"
    "    PORT=$(kavrel find 0403:6001:A50285BI)\n"
    "Exit status 0 for one match, 1 for none, 2 for several (listed on stderr).\n";

constexpr const char* kTerm =
    "usage: kavrel term PORT [--baud N] [--mode MODE] [--echo] [--eol cr|lf|crlf] [--hex]\n"
    "                        [--dtr on|off] [--rts on|off]\n"
    "\n"
    "An interactive terminal: keys go out, what arrives is shown, changes of the\n"
    "modem lines CTS, DSR, RI and DCD are shown as they happen. Ctrl-] quits;\n"
    "Ctrl-T then d or r switches DTR or RTS, Ctrl-T b sends a break, Ctrl-T Ctrl-T\n"
    "sends a Ctrl-T.\n"
    "\n"
    "  --baud N     line speed (default 9600) with parity=N data=8 stop=1\n"
    "  --mode MODE  the whole mode string, e.g. \"baud=19200 parity=E data=7 stop=1\"\n"
    "  --echo       show what is typed\n"
    "  --eol E      what Enter sends: cr (default), lf or crlf\n"
    "  --hex        show received bytes in hexadecimal\n"
    "  --dtr, --rts the output lines to start with (default on)\n";

constexpr const char* kSend =
    "usage: kavrel send PORT FILE|- [--baud N] [--mode MODE]\n"
    "\n"
    "Sends the bytes of FILE (or of standard input for -) to the port, as they are.\n"
    "When standard output is a terminal a progress line shows the bytes sent, the\n"
    "rate and the time left; otherwise nothing is printed.\n";

constexpr const char* kQuery =
    "usage: kavrel query PORT TEXT [--until STR] [--timeout S] [--baud N] [--mode MODE]\n"
    "\n"
    "Sends TEXT and prints the reply up to STR (default: the end of a line, LF or\n"
    "CR LF), without STR. TEXT and STR take the escapes \\r \\n \\t \\0 \\\\ \\xHH:\n"
    "    kavrel query /dev/ttyUSB0 '*IDN?\\r'\n"
    "\n"
    "  --until STR  what ends the reply; '' reads until the time-out\n"
    "  --timeout S  seconds to wait for it (default 2, fractions allowed)\n"
    "Exit status 0 for a reply, 1 when none came in time (what did come is printed).\n";

// A standard descriptor the caller closed would be handed to the first
// file opened: the port or the component's own wake-up descriptor would then
// be read as keys or given output and messages. Each closed one is held by
// /dev/null instead.
void HoldStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace

const char* HelpText(const std::string& command) {
  if (command == "list") return kList;
  if (command == "find") return kFind;
  if (command == "term") return kTerm;
  if (command == "send") return kSend;
  if (command == "query") return kQuery;
  return kOverview;
}

int UsageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "kavrel %s: %s\n", command.c_str(), message.c_str());
  const char* help = HelpText(command);
  const char* eol = std::strchr(help, '\n');
  std::fprintf(stderr, "%.*s\n", static_cast<int>(eol ? eol - help : std::strlen(help)), help);
  return kExitUsage;
}

std::optional<int> ParseCommand(const std::string& command, const Args& args,
                                std::vector<OptionSpec> specs, ParsedArgs* parsed) {
  specs.push_back({"--help"});
  std::string error;
  if (!ParseArgs(args, specs, parsed, &error)) return UsageError(command, error);
  if (parsed->Has("--help")) {
    std::fputs(HelpText(command), stdout);
    return kExitOk;
  }
  return std::nullopt;
}

std::unique_ptr<CommPort> OpenFromArgs(const std::string& command, const std::string& name,
                                       const ParsedArgs& parsed, std::string* mode, int* status) {
  std::string error;
  if (!ModeFromArgs(parsed, mode, &error)) {
    *status = UsageError(command, error);
    return nullptr;
  }
  std::unique_ptr<CommPort> port = CommPort::Open(name, *mode, &error);
  if (!port) {
    std::fprintf(stderr, "kavrel %s: %s\n", command.c_str(), error.c_str());
    *status = kExitDevice;
    return nullptr;
  }
  ReleasePortsOnFatalSignals();
  return port;
}

}  // namespace kavrel::cli

namespace {

int Dispatch(int argc, char** argv) {
  using namespace kavrel::cli;
  if (argc < 2) {
    std::fputs(kOverview, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  const Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(HelpText(args.empty() ? "" : args[0]), stdout);
    return kExitOk;
  }
  if (command == "--version") {
    const std::string component = ComponentVersion();
    std::printf("kavrel %s (comms object version %s)\n", KAVREL_TOOL_VERSION,
                component.empty() ? "unavailable" : component.c_str());
    return kExitOk;
  }
  if (command == "list") return RunList(args);
  if (command == "find") return RunFind(args);
  if (command == "term") return RunTerm(args);
  if (command == "send") return RunSend(args);
  if (command == "query") return RunQuery(args);
  std::fprintf(stderr, "kavrel: unknown command '%s'\n%s", command.c_str(), kOverview);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kavrel::cli;
  HoldStandardDescriptors();
  const int status = Dispatch(argc, argv);
  // A reply, a device path or a listing that never reached its file (a full
  // disk, a reader that went away) is not a success.
  const int flushError = std::fflush(stdout) == 0 ? 0 : errno;
  if (flushError != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "kavrel: writing standard output: %s\n",
                 flushError ? std::strerror(flushError) : "failed");
    return status == kExitOk ? kExitOutput : status;
  }
  return status;
}
