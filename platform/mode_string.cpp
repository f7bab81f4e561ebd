#include "platform/mode_string.h"

#include <cstdint>
#include <optional>

namespace kavrel::platform {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsSpace(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A cursor over the text.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
  }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }
  // The characters up to the next separator (space, tab, comma or '=').
  std::string_view Word() {
    const size_t start = pos_;
    while (!AtEnd() && !IsSpace(text_[pos_]) && text_[pos_] != ',' && text_[pos_] != '=') ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // Consumes a "COMn" or "COMn:" device prefix when the text starts with one.
  bool TakeDevicePrefix(bool& malformed) {
    malformed = false;
    if (text_.size() - pos_ < 3 || !EqualsNoCase(text_.substr(pos_, 3), "com")) return false;
    size_t end = pos_ + 3;
    if (end >= text_.size() || !IsDigit(text_[end])) return false;  // a keyword, not a device
    while (end < text_.size() && IsDigit(text_[end])) ++end;
    if (text_[pos_ + 3] == '0') malformed = true;  // COM0, COM01
    if (end < text_.size() && !IsSpace(text_[end]) && text_[end] != ':') malformed = true;
    pos_ = end;
    SkipSpace();
    Take(':');  // "COM1:9600,n,8,1" and "COM1 : xon=on" alike
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

std::optional<DWORD> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<DWORD>(value);
}

std::optional<DWORD> ParseBaud(std::string_view text) {
  const std::optional<DWORD> number = ParseNumber(text);
  // 0 is taken as it stands: the device refuses it when the block is applied.
  if (!number) return std::nullopt;
  switch (*number) {  // the two-digit abbreviations of the classic rates
    case 11:
      return 110;
    case 15:
      return 150;
    case 30:
      return 300;
    case 60:
      return 600;
    case 12:
      return 1200;
    case 24:
      return 2400;
    case 48:
      return 4800;
    case 96:
      return 9600;
    case 19:
      return 19200;
    default:
      return number;
  }
}

std::optional<BYTE> ParseParity(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (Lower(text[0])) {
    case 'n':
      return BYTE{NOPARITY};
    case 'o':
      return BYTE{ODDPARITY};
    case 'e':
      return BYTE{EVENPARITY};
    case 'm':
      return BYTE{MARKPARITY};
    case 's':
      return BYTE{SPACEPARITY};
    default:
      return std::nullopt;
  }
}

std::optional<BYTE> ParseDataBits(std::string_view text) {
  if (text.size() != 1 || text[0] < '5' || text[0] > '8') return std::nullopt;
  return static_cast<BYTE>(text[0] - '0');
}

std::optional<BYTE> ParseStopBits(std::string_view text) {
  if (text == "1") return BYTE{ONESTOPBIT};
  if (text == "1.5") return BYTE{ONE5STOPBITS};
  if (text == "2") return BYTE{TWOSTOPBITS};
  return std::nullopt;
}

std::optional<bool> ParseOnOff(std::string_view text) {
  if (EqualsNoCase(text, "on")) return true;
  if (EqualsNoCase(text, "off")) return false;
  return std::nullopt;
}

// on, off, hs and (for RTS) tg, as DTR_CONTROL_* / RTS_CONTROL_* values.
std::optional<DWORD> ParseLineControl(std::string_view text, bool allowToggle) {
  if (EqualsNoCase(text, "on")) return DWORD{DTR_CONTROL_ENABLE};
  if (EqualsNoCase(text, "off")) return DWORD{DTR_CONTROL_DISABLE};
  if (EqualsNoCase(text, "hs")) return DWORD{DTR_CONTROL_HANDSHAKE};
  if (allowToggle && EqualsNoCase(text, "tg")) return DWORD{RTS_CONTROL_TOGGLE};
  return std::nullopt;
}

void SetFlowNone(DCB& dcb) {
  dcb.fInX = 0;
  dcb.fOutX = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

// b[,p[,d[,s[,x|p]]]] with optional spaces around the commas.
bool ParseOldForm(Scanner& in, DCB& dcb) {
  const std::optional<DWORD> baud = ParseBaud(in.Word());
  if (!baud) return false;
  dcb.BaudRate = *baud;
  bool stopNamed = false;
  char flow = '\0';
  for (int field = 0; field < 4; ++field) {
    in.SkipSpace();
    if (!in.Take(',')) break;
    in.SkipSpace();
    const std::string_view word = in.Word();
    if (field == 0) {
      const auto parity = ParseParity(word);
      if (!parity) return false;
      dcb.Parity = *parity;
    } else if (field == 1) {
      const auto data = ParseDataBits(word);
      if (!data) return false;
      dcb.ByteSize = *data;
    } else if (field == 2) {
      const auto stop = ParseStopBits(word);
      if (!stop) return false;
      dcb.StopBits = *stop;
      stopNamed = true;
    } else {
      if (word.size() != 1 || (Lower(word[0]) != 'x' && Lower(word[0]) != 'p')) return false;
      flow = Lower(word[0]);
    }
  }
  in.SkipSpace();
  if (!in.AtEnd()) return false;

  if (dcb.BaudRate == 110 && !stopNamed) dcb.StopBits = TWOSTOPBITS;
  SetFlowNone(dcb);
  if (flow == 'x') {
    dcb.fInX = 1;
    dcb.fOutX = 1;
  } else if (flow == 'p') {
    dcb.fOutxDsrFlow = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  }
  return true;
}

// keyword=value items separated by spaces.
bool ParseNewForm(Scanner& in, DCB& dcb) {
  bool stopNamed = false, xonNamed = false, odsrNamed = false, octsNamed = false;
  bool baudNamed = false;
  while (!in.AtEnd()) {
    const std::string_view key = in.Word();
    if (key.empty() || !in.Take('=')) return false;
    const std::string_view value = in.Word();
    if (!in.AtEnd() && !IsSpace(in.Peek())) return false;  // "baud=9600,n" and the like
    in.SkipSpace();

    if (EqualsNoCase(key, "baud")) {
      const auto baud = ParseBaud(value);
      if (!baud) return false;
      dcb.BaudRate = *baud;
      baudNamed = true;
    } else if (EqualsNoCase(key, "parity")) {
      const auto parity = ParseParity(value);
      if (!parity) return false;
      dcb.Parity = *parity;
    } else if (EqualsNoCase(key, "data")) {
      const auto data = ParseDataBits(value);
      if (!data) return false;
      dcb.ByteSize = *data;
    } else if (EqualsNoCase(key, "stop")) {
      const auto stop = ParseStopBits(value);
      if (!stop) return false;
      dcb.StopBits = *stop;
      stopNamed = true;
    } else if (EqualsNoCase(key, "to")) {
      // Infinite time-out processing concerns the time-out record, not the
      // DCB: checked, nothing to edit.
      if (!ParseOnOff(value)) return false;
    } else if (EqualsNoCase(key, "xon")) {
      const auto on = ParseOnOff(value);
      if (!on) return false;
      dcb.fInX = *on;
      dcb.fOutX = *on;
      xonNamed = true;
    } else if (EqualsNoCase(key, "odsr")) {
      const auto on = ParseOnOff(value);
      if (!on) return false;
      dcb.fOutxDsrFlow = *on;
      odsrNamed = true;
    } else if (EqualsNoCase(key, "octs")) {
      const auto on = ParseOnOff(value);
      if (!on) return false;
      dcb.fOutxCtsFlow = *on;
      octsNamed = true;
    } else if (EqualsNoCase(key, "dtr")) {
      const auto control = ParseLineControl(value, false);
      if (!control) return false;
      dcb.fDtrControl = *control;
    } else if (EqualsNoCase(key, "rts")) {
      const auto control = ParseLineControl(value, true);
      if (!control) return false;
      dcb.fRtsControl = *control;
    } else if (EqualsNoCase(key, "idsr")) {
      const auto on = ParseOnOff(value);
      if (!on) return false;
      dcb.fDsrSensitivity = *on;
    } else {
      return false;
    }
  }
  if (baudNamed && dcb.BaudRate == 110 && !stopNamed) dcb.StopBits = TWOSTOPBITS;
  if (!xonNamed) {
    dcb.fInX = 0;
    dcb.fOutX = 0;
  }
  if (!odsrNamed) dcb.fOutxDsrFlow = 0;
  if (!octsNamed) dcb.fOutxCtsFlow = 0;
  return true;
}

}  // namespace

bool ApplyModeString(std::string_view text, DCB& dcb) {
  if (!text.empty() && IsSpace(text[0])) return false;  // as BuildCommDCB: no leading blank
  Scanner in(text);
  bool badPrefix = false;
  if (in.TakeDevicePrefix(badPrefix) && badPrefix) return false;
  in.SkipSpace();
  if (in.AtEnd()) return false;

  DCB edited = dcb;
  const bool ok = IsDigit(in.Peek()) ? ParseOldForm(in, edited) : ParseNewForm(in, edited);
  if (ok) dcb = edited;
  return ok;
}

}  // namespace kavrel::platform
