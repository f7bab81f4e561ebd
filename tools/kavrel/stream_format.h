// What the terminal and the transfers show and send: line endings of typed
// input, the hex view of received bytes, the progress line of a transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel::cli {

enum class LineEnding { Cr, Lf, CrLf };

// "cr", "lf", "crlf" (any case).
std::optional<LineEnding> ParseLineEnding(std::string_view text);

// Turns typed bytes into what goes out on the line: Enter (CR, or LF from a
// pipe; CR LF counts once) becomes the chosen line ending, every other byte
// goes as it is. Keeps what it needs across calls, as keys arrive one read
// at a time.
class InputTranslator {
 public:
  explicit InputTranslator(LineEnding ending) : ending_(ending) {}
  // The bytes to send; *echo gets what local echo shows for them.
  std::string Translate(std::string_view typed, std::string* echo);

 private:
  LineEnding ending_;
  bool afterCr_ = false;
};

// The terminal's own keys among typed bytes: Ctrl-] quits; Ctrl-T and a
// letter is a command (d DTR, r RTS, b break, h help), Ctrl-T twice sends
// one Ctrl-T. Keeps a pending Ctrl-T across reads.
struct TermKey {
  enum Kind { Text, Quit, ToggleDtr, ToggleRts, Break, Help };
  Kind kind = Text;
  std::string text;  // for Text: the bytes, as typed
};
class KeyReader {
 public:
  // Everything after a Quit is dropped.
  std::vector<TermKey> Feed(std::string_view typed);

 private:
  bool afterMenuKey_ = false;
};

// Received bytes as hex pairs, a space after each, a line break after a
// line feed byte or after 16 bytes on a line.
class HexView {
 public:
  std::string Format(std::string_view bytes);

 private:
  int column_ = 0;
};

// The modem status lines, CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80:
// "CTS on  DSR off  RI off  DCD on".
std::string FormatModemLines(unsigned lines);

// "512 B", "12.0 KiB", "3.4 MiB".
std::string FormatBytes(uint64_t bytes);

// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

// One line of a transfer's progress, without a line break:
// "[#######.............]  35%  12.0 KiB / 34.2 KiB  1.9 KiB/s  0:11 left"
// or, with the size unknown, "12.0 KiB  1.9 KiB/s". The bar has barWidth
// cells.
std::string FormatProgress(uint64_t done, std::optional<uint64_t> total, double elapsedSeconds,
                           int barWidth);

}  // namespace kavrel::cli
