#include "tools/kavrel/options.h"

namespace kavrel::cli {

namespace {

const OptionSpec* FindSpec(const std::vector<OptionSpec>& specs, std::string_view name) {
  for (const OptionSpec& s : specs)
    if (s.name == name) return &s;
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<unsigned> ParseHexId(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned v = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<unsigned>(d);
  }
  return v;
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
               ParsedArgs* out, std::string* error) {
  *out = ParsedArgs{};
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionSpec* spec = FindSpec(specs, name);
    if (!spec) {
      *error = "unknown option " + name;
      return false;
    }
    if (!spec->takesValue) {
      if (equals != std::string::npos) {
        *error = name + " takes no value";
        return false;
      }
      out->options[name] = "";
      continue;
    }
    if (equals != std::string::npos) {
      out->options[name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      out->options[name] = args[++i];
    } else {
      *error = name + " needs a value";
      return false;
    }
  }
  return true;
}

std::optional<long> ParseBaud(std::string_view text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 4000000) return std::nullopt;
  return v;
}

std::optional<long> ParseSeconds(std::string_view text) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (whole.size() > 5 || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
  long ms = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    ms = ms * 10 + (c - '0');
  }
  ms *= 1000;
  long scale = 100;
  for (char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    ms += (c - '0') * scale;
    scale /= 10;
  }
  if (ms > 86400L * 1000) return std::nullopt;
  return ms;
}

std::optional<UsbMatch> ParseUsbMatch(std::string_view text) {
  const size_t first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = text.find(':', first + 1);
  UsbMatch m;
  auto vid = ParseHexId(text.substr(0, first));
  auto pid = ParseHexId(text.substr(
      first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1));
  if (!vid || !pid) return std::nullopt;
  m.vid = *vid;
  m.pid = *pid;
  if (second != std::string_view::npos) {
    if (second + 1 == text.size()) return std::nullopt;
    m.serial = std::string(text.substr(second + 1));
  }
  return m;
}

bool DecodeEscapes(std::string_view text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'r':
        out->push_back('\r');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case '0':
        out->push_back('\0');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Offset of the settings in a mode string, after the "COMn", "COMn:" or
// "COMn :" device prefix it may start with.
size_t SettingsStart(std::string_view mode) {
  if (mode.size() < 4 || (mode[0] | 0x20) != 'c' || (mode[1] | 0x20) != 'o' ||
      (mode[2] | 0x20) != 'm' || mode[3] < '0' || mode[3] > '9')
    return 0;
  size_t i = 4;
  while (i < mode.size() && mode[i] >= '0' && mode[i] <= '9') ++i;
  while (i < mode.size() && IsBlank(mode[i])) ++i;
  if (i < mode.size() && mode[i] == ':') ++i;
  while (i < mode.size() && IsBlank(mode[i])) ++i;
  return i;
}

// Offset of "baud=" as a word of a mode string, in any case, or npos.
size_t FindBaudKey(std::string_view mode) {
  const size_t settings = SettingsStart(mode);
  for (size_t i = settings; i + 5 <= mode.size(); ++i) {
    if (i > settings && !IsBlank(mode[i - 1])) continue;
    bool same = true;
    for (size_t k = 0; k < 5 && same; ++k) {
      char c = mode[i + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      same = c == "baud="[k];
    }
    if (same) return i;
  }
  return std::string_view::npos;
}

}  // namespace

bool ModeFromArgs(const ParsedArgs& args, std::string* mode, std::string* error) {
  std::optional<long> baud;
  if (args.Has("--baud")) {
    baud = ParseBaud(args.Get("--baud"));
    if (!baud) {
      *error = "bad speed for --baud: " + args.Get("--baud") + " (1 to 4000000)";
      return false;
    }
  }
  if (!args.Has("--mode")) {
    *mode = "baud=" + std::to_string(baud.value_or(9600)) + " parity=N data=8 stop=1";
    return true;
  }
  *mode = args.Get("--mode");
  // The speed goes where the settings begin, unless the mode names one: with
  // "baud=", or as the first field of the old form ("9600,n,8,1").
  const size_t settings = SettingsStart(*mode);
  const bool oldForm =
      settings < mode->size() && (*mode)[settings] >= '0' && (*mode)[settings] <= '9';
  if (baud && !oldForm && FindBaudKey(*mode) == std::string_view::npos) {
    std::string speed = "baud=" + std::to_string(*baud);
    if (settings > 0 && (*mode)[settings - 1] != ':' && !IsBlank((*mode)[settings - 1]))
      speed.insert(0, " ");  // "COM1" on its own
    if (settings < mode->size()) speed += ' ';
    mode->insert(settings, speed);
  }
  return true;
}

long ModeBaud(std::string_view mode) {
  const size_t key = FindBaudKey(mode);
  if (key == std::string_view::npos) return 9600;
  size_t end = key + 5;
  while (end < mode.size() && mode[end] >= '0' && mode[end] <= '9') ++end;
  return ParseBaud(mode.substr(key + 5, end - key - 5)).value_or(9600);
}

}  // namespace kavrel::cli
