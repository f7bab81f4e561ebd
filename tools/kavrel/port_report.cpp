#include "tools/kavrel/port_report.h"

#include <cstdio>

namespace kavrel::cli {

namespace {

// Length of the UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = 0;
  unsigned min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    const unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (t & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void AppendField(std::string* line, const char* key, const std::string& value) {
  if (value.empty()) return;
  *line += "  ";
  *line += key;
  *line += '=';
  *line += FieldValue(value);
}

std::string ComList(const std::vector<ComName>& names) {
  std::string out;
  for (const ComName& c : names) {
    if (!out.empty()) out += ',';
    out += c.name + "(" + ComSourceName(c) + ")";
  }
  return out;
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// The members of a COM name's object, without the braces.
std::string ComMembers(const ComName& c) {
  return "\"name\": " + JsonString(c.name) + ", \"source\": " + JsonString(ComSourceName(c));
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (c >= 0x80 && Utf8Length(text, i) > 0) {
      const size_t n = Utf8Length(text, i);
      out.append(text.substr(i, n));
      i += n;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
    }
  }
  return out + "\"";
}

std::string FieldValue(std::string_view text) {
  for (unsigned char c : text)
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\' || c == '=') return JsonString(text);
  return std::string(text);
}

std::string UsbId(unsigned vid, unsigned pid) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04x:%04x", vid & 0xFFFF, pid & 0xFFFF);
  return buf;
}

std::vector<std::string> PortLines(const std::vector<SerialPort>& ports,
                                   const std::vector<OtherComName>& others) {
  std::vector<std::string> lines;
  for (const SerialPort& p : ports) {
    std::string line = p.device;
    AppendField(&line, "driver", p.driver);
    if (p.usb) {
      AppendField(&line, "usb", UsbId(p.usb->vid, p.usb->pid));
      AppendField(&line, "serial", p.usb->serial);
      AppendField(&line, "manufacturer", p.usb->manufacturer);
      AppendField(&line, "product", p.usb->product);
      AppendField(&line, "interface", p.usb->interfaceNumber);
      AppendField(&line, "interface_name", p.usb->interfaceName);
      AppendField(&line, "location", p.usb->location);
    }
    if (p.uartType && *p.uartType == 0) line += "  uart=none";
    AppendField(&line, "by-id", p.byId);
    AppendField(&line, "com", ComList(p.comNames));
    lines.push_back(line);
  }
  for (const OtherComName& o : others)
    lines.push_back(o.com.name + " -> " + FieldValue(o.target) + "  (" + ComSourceName(o.com) +
                    ")");
  return lines;
}

std::string PortsJson(const std::vector<SerialPort>& ports,
                      const std::vector<OtherComName>& others) {
  std::string out = "{\n  \"ports\": [";
  for (size_t i = 0; i < ports.size(); ++i) {
    const SerialPort& p = ports[i];
    out += i ? ",\n    {" : "\n    {";
    out += "\"device\": " + JsonString(p.device);
    out += ", \"name\": " + JsonString(p.name);
    out += ", \"driver\": " + JsonOrNull(p.driver);
    out += ", \"by_id\": " + JsonOrNull(p.byId);
    out += ", \"uart_type\": " + (p.uartType ? std::to_string(*p.uartType) : std::string("null"));
    out += ", \"usb\": ";
    if (p.usb) {
      char id[8];
      std::snprintf(id, sizeof id, "%04x", p.usb->vid & 0xFFFF);
      out += "{\"vid\": " + JsonString(id);
      std::snprintf(id, sizeof id, "%04x", p.usb->pid & 0xFFFF);
      out += ", \"pid\": " + JsonString(id);
      out += ", \"serial\": " + JsonOrNull(p.usb->serial);
      out += ", \"manufacturer\": " + JsonOrNull(p.usb->manufacturer);
      out += ", \"product\": " + JsonOrNull(p.usb->product);
      out += ", \"interface\": " + JsonOrNull(p.usb->interfaceNumber);
      out += ", \"interface_name\": " + JsonOrNull(p.usb->interfaceName);
      out += ", \"location\": " + JsonOrNull(p.usb->location) + "}";
    } else {
      out += "null";
    }
    out += ", \"com\": [";
    for (size_t k = 0; k < p.comNames.size(); ++k)
      out += (k ? ", {" : "{") + ComMembers(p.comNames[k]) + "}";
    out += "]}";
  }
  out += ports.empty() ? "],\n" : "\n  ],\n";
  out += "  \"other_com_names\": [";
  for (size_t i = 0; i < others.size(); ++i) {
    out += i ? ",\n    " : "\n    ";
    out += "{" + ComMembers(others[i].com) + ", \"target\": " + JsonString(others[i].target) + "}";
  }
  out += others.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace kavrel::cli
