#include "tools/kavrel/stream_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kavrel::cli {

std::optional<LineEnding> ParseLineEnding(std::string_view text) {
  std::string lower;
  for (char c : text) lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  if (lower == "cr") return LineEnding::Cr;
  if (lower == "lf") return LineEnding::Lf;
  if (lower == "crlf") return LineEnding::CrLf;
  return std::nullopt;
}

std::string InputTranslator::Translate(std::string_view typed, std::string* echo) {
  static constexpr std::string_view kEndings[] = {"\r", "\n", "\r\n"};
  const std::string_view eol = kEndings[static_cast<int>(ending_)];
  std::string out;
  echo->clear();
  for (char c : typed) {
    if (c == '\r' || (c == '\n' && !afterCr_)) {
      out += eol;
      *echo += '\n';
    } else if (c != '\n') {
      out += c;
      *echo += c;
    }
    afterCr_ = c == '\r';
  }
  return out;
}

std::vector<TermKey> KeyReader::Feed(std::string_view typed) {
  constexpr char kQuit = 0x1D, kMenu = 0x14;
  std::vector<TermKey> keys;
  auto add = [&keys](TermKey::Kind kind, char c = 0) {
    if (kind == TermKey::Text && !keys.empty() && keys.back().kind == TermKey::Text) {
      keys.back().text += c;
      return;
    }
    keys.push_back({kind, kind == TermKey::Text ? std::string(1, c) : std::string()});
  };
  for (char c : typed) {
    if (c == kQuit) {  // whatever came before
      add(TermKey::Quit);
      break;
    }
    if (afterMenuKey_) {
      afterMenuKey_ = false;
      const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      if (c == kMenu)
        add(TermKey::Text, c);
      else if (lower == 'd' || c == 0x04)
        add(TermKey::ToggleDtr);
      else if (lower == 'r' || c == 0x12)
        add(TermKey::ToggleRts);
      else if (lower == 'b' || c == 0x02)
        add(TermKey::Break);
      else
        add(TermKey::Help);
      continue;
    }
    if (c == kMenu)
      afterMenuKey_ = true;
    else
      add(TermKey::Text, c);
  }
  return keys;
}

std::string HexView::Format(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
    if (c == '\n' || ++column_ == 16) {
      out += '\n';
      column_ = 0;
    }
  }
  return out;
}

std::string FormatModemLines(unsigned lines) {
  static constexpr struct {
    unsigned bit;
    const char* name;
  } kLines[] = {{0x10, "CTS"}, {0x20, "DSR"}, {0x40, "RI"}, {0x80, "DCD"}};
  std::string out;
  for (const auto& l : kLines) {
    if (!out.empty()) out += "  ";
    out += l.name;
    out += (lines & l.bit) ? " on" : " off";
  }
  return out;
}

std::string FormatBytes(uint64_t bytes) {
  char buf[32];
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024ull * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else if (bytes < 1024ull * 1024 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024));
  } else {
    std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
  }
  return buf;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  if (seconds > 359999) seconds = 359999;  // 99:59:59
  const long total = std::lround(seconds);
  const long h = total / 3600, m = total / 60 % 60, s = total % 60;
  char buf[32];
  if (h > 0)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", h, m, s);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", m, s);
  return buf;
}

std::string FormatProgress(uint64_t done, std::optional<uint64_t> total, double elapsedSeconds,
                           int barWidth) {
  const double rate = elapsedSeconds > 0 ? static_cast<double>(done) / elapsedSeconds : 0;
  const std::string rateText = FormatBytes(static_cast<uint64_t>(rate)) + "/s";
  if (!total) return FormatBytes(done) + "  " + rateText;
  const double fraction = *total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / *total);
  const int filled = static_cast<int>(fraction * barWidth);
  std::string line = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  line += "  " + std::string(percent) + "  " + FormatBytes(done) + " / " + FormatBytes(*total);
  line += "  " + rateText;
  if (done < *total) {
    line += "  " + (rate > 0 ? FormatDuration(static_cast<double>(*total - done) / rate) : "-:--") +
            " left";
  }
  return line;
}

}  // namespace kavrel::cli
