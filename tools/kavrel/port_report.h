// How `kavrel list` shows the ports: one line each, or JSON for scripts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/kavrel/com_names.h"
#include "tools/kavrel/serial_ports.h"

namespace kavrel::cli {

// A JSON string literal, quotes included. Bytes that are not UTF-8 are
// taken as Latin-1, so the output is always valid JSON.
std::string JsonString(std::string_view text);

// A value for a key=value field: as it is when it is plain, else a quoted
// JSON string.
std::string FieldValue(std::string_view text);

// "0403:6001"
std::string UsbId(unsigned vid, unsigned pid);

// One line per port (no line break at the end of each), then one line per
// COM name mapped elsewhere.
std::vector<std::string> PortLines(const std::vector<SerialPort>& ports,
                                   const std::vector<OtherComName>& others);

// The whole JSON document, ending in a line break.
std::string PortsJson(const std::vector<SerialPort>& ports,
                      const std::vector<OtherComName>& others);

}  // namespace kavrel::cli
