// Command-line parsing of the kavrel command: options of a subcommand and
// the values they take.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel::cli {

struct OptionSpec {
  std::string name;  // "--baud"
  bool takesValue = false;
};

struct ParsedArgs {
  std::map<std::string, std::string> options;  // name -> value ("" for flags)
  std::vector<std::string> positional;
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& otherwise = "") const {
    auto it = options.find(name);
    return it == options.end() ? otherwise : it->second;
  }
};

// Parses args against specs: "--name value", "--name=value", flags, "--"
// ending the options, and "-" as a positional (standard input). Returns
// false with *error for an unknown option, a missing value or a value given
// to a flag. A repeated option keeps its last value.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
               ParsedArgs* out, std::string* error);

// A line speed: decimal, 1 to 4000000.
std::optional<long> ParseBaud(std::string_view text);

// A time in seconds, decimal with an optional fraction ("2", "0.5"), up to a
// day; the result in milliseconds.
std::optional<long> ParseSeconds(std::string_view text);

// VID:PID[:SERIAL], the ids in hexadecimal (1 to 4 digits).
struct UsbMatch {
  unsigned vid = 0;
  unsigned pid = 0;
  std::optional<std::string> serial;
};
std::optional<UsbMatch> ParseUsbMatch(std::string_view text);

// Backslash escapes of a text given on the command line: \r \n \t \0 \xHH
// and a doubled backslash. False for an unknown or cut-off escape.
bool DecodeEscapes(std::string_view text, std::string* out);

// The mode string a port opens with, from --baud N and --mode TEXT: by
// default "baud=9600 parity=N data=8 stop=1" at the --baud speed; --mode
// replaces it whole, and a --baud given with a mode that names no speed puts
// "baud=N " in front of its settings (after a "COMn:" prefix). False with
// *error for a bad speed.
bool ModeFromArgs(const ParsedArgs& args, std::string* mode, std::string* error);

// The speed a mode string names, for pacing and progress; 9600 when it
// names none.
long ModeBaud(std::string_view mode);

}  // namespace kavrel::cli
