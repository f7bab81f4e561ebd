// kavrel send and kavrel query: a file to a port, a question and its answer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/kavrel/comm_port.h"
#include "tools/kavrel/commands.h"
#include "tools/kavrel/options.h"
#include "tools/kavrel/stream_format.h"

namespace kavrel::cli {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads up to n bytes; 0 at the end, -1 on failure (errno set).
ssize_t ReadSome(int fd, char* buf, size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

int RunSend(const Args& args) {
  ParsedArgs parsed;
  if (const auto done = ParseCommand("send", args, {{"--baud", true}, {"--mode", true}}, &parsed))
    return *done;
  if (parsed.positional.size() != 2) return UsageError("send", "give a PORT and a FILE (or -)");
  const std::string& file = parsed.positional[1];

  int fd = STDIN_FILENO;
  if (file != "-") {
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "kavrel send: %s: %s\n", file.c_str(), std::strerror(errno));
      return kExitUsage;
    }
  }
  std::optional<uint64_t> total;
  struct stat st;
  // A file given as standard input may have been read in part already: what
  // goes out is what lies after its offset.
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = std::max<off_t>(::lseek(fd, 0, SEEK_CUR), 0);
    total = static_cast<uint64_t>(std::max<off_t>(st.st_size - at, 0));
  }

  std::string mode;
  int status = kExitOk;
  std::unique_ptr<CommPort> port =
      OpenFromArgs("send", parsed.positional[0], parsed, &mode, &status);
  if (!port) {
    if (fd != STDIN_FILENO) ::close(fd);
    return status;
  }

  // About a tenth of a second of line time per write, so the bar moves.
  const size_t chunk = static_cast<size_t>(std::clamp(ModeBaud(mode) / 100, 16L, 1024L));
  const bool showProgress = ::isatty(STDOUT_FILENO);
  const auto start = Clock::now();
  auto lastShown = start - std::chrono::seconds(1);
  uint64_t sent = 0;
  std::string buffer(chunk, '\0');
  status = kExitOk;
  for (;;) {
    const ssize_t got = ReadSome(fd, buffer.data(), chunk);
    if (got < 0) {
      const int error = errno;
      std::fprintf(stderr, "%skavrel send: reading %s: %s\n", showProgress ? "\n" : "",
                   file == "-" ? "standard input" : file.c_str(), std::strerror(error));
      status = kExitUsage;
      break;
    }
    if (got == 0) break;
    const std::string piece(buffer.data(), static_cast<size_t>(got));
    const long written = port->Write(piece);
    if (written < 0) {
      std::fprintf(stderr, "%skavrel send: %s\n", showProgress ? "\n" : "",
                   port->Failure().c_str());
      status = kExitDevice;
      break;
    }
    sent += static_cast<uint64_t>(written);
    if (written != got) {
      std::fprintf(stderr, "%skavrel send: the write timed out after %llu bytes\n",
                   showProgress ? "\n" : "", static_cast<unsigned long long>(sent));
      status = kExitDevice;
      break;
    }
    if (showProgress && Clock::now() - lastShown >= std::chrono::milliseconds(100)) {
      lastShown = Clock::now();
      std::printf("\r%s\033[K", FormatProgress(sent, total, Since(start), 30).c_str());
      std::fflush(stdout);
    }
  }
  if (showProgress) {
    std::printf("\r%s\033[K\n", FormatProgress(sent, total, Since(start), 30).c_str());
    std::fflush(stdout);
  }
  if (fd != STDIN_FILENO) ::close(fd);
  return status;
}

int RunQuery(const Args& args) {
  ParsedArgs parsed;
  if (const auto done = ParseCommand(
          "query", args,
          {{"--until", true}, {"--timeout", true}, {"--baud", true}, {"--mode", true}}, &parsed))
    return *done;
  if (parsed.positional.size() != 2) return UsageError("query", "give a PORT and a TEXT");
  std::string text, until;
  if (!DecodeEscapes(parsed.positional[1], &text))
    return UsageError("query", "bad escape in TEXT: " + parsed.positional[1]);
  const bool lineReply = !parsed.Has("--until");
  if (!DecodeEscapes(parsed.Get("--until", "\\n"), &until))
    return UsageError("query", "bad escape in --until: " + parsed.Get("--until"));
  const std::optional<long> timeoutMs = ParseSeconds(parsed.Get("--timeout", "2"));
  if (!timeoutMs)
    return UsageError("query", "bad --timeout: " + parsed.Get("--timeout") +
                                   " (seconds, 0 to 86400, fractions allowed)");

  std::string mode;
  int status = kExitOk;
  std::unique_ptr<CommPort> port =
      OpenFromArgs("query", parsed.positional[0], parsed, &mode, &status);
  if (!port) return status;

  const long written = port->Write(text);
  if (written < 0) {
    std::fprintf(stderr, "kavrel query: %s\n", port->Failure().c_str());
    return kExitDevice;
  }
  // A short count is a time-out (flow control holding the line), which the
  // component does not record as a failure: its error line would be empty.
  if (written != static_cast<long>(text.size())) {
    std::fprintf(stderr, "kavrel query: the write timed out after %ld of %zu bytes\n", written,
                 text.size());
    return kExitDevice;
  }
  std::string reply;
  size_t end = std::string::npos;
  const auto deadline = Clock::now() + std::chrono::milliseconds(*timeoutMs);
  while (end == std::string::npos) {
    std::string got;
    if (!port->Read(&got)) {
      // What came before the device failed is printed, as on a time-out.
      if (!reply.empty()) {
        std::fwrite(reply.data(), 1, reply.size(), stdout);
        std::fputc('\n', stdout);
      }
      std::fprintf(stderr, "kavrel query: %s\n", port->Failure().c_str());
      return kExitDevice;
    }
    const size_t from = reply.size() >= until.size() ? reply.size() - until.size() + 1 : 0;
    reply += got;
    if (!until.empty() && reply.size() >= until.size()) end = reply.find(until, from);
    if (end != std::string::npos || Clock::now() >= deadline) break;
    if (got.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (end != std::string::npos) {
    reply.resize(end);
    // A line's CR LF ending is not part of the reply either.
    if (lineReply && !reply.empty() && reply.back() == '\r') reply.pop_back();
  }
  if (end != std::string::npos || !reply.empty()) {
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::fputc('\n', stdout);
  }
  if (end != std::string::npos) return kExitOk;
  if (until.empty() && !reply.empty()) return kExitOk;
  // A silent device is told apart from a reply whose end did not come.
  std::fprintf(stderr, "kavrel query: no %s within %s s\n", reply.empty() ? "reply" : "terminator",
               parsed.Get("--timeout", "2").c_str());
  return kExitNone;
}

}  // namespace kavrel::cli
