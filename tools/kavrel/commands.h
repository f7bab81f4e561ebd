// The subcommands of kavrel. Each takes the arguments after its name and
// returns the exit status.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/kavrel/options.h"

namespace kavrel::cli {

using Args = std::vector<std::string>;

// Exit statuses, the same for every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitNone = 1;     // find: no match; query: no reply in time
constexpr int kExitSeveral = 2;  // find: more than one match
constexpr int kExitDevice = 3;   // the port failed: the component's error line is printed
constexpr int kExitUsage = 64;   // bad command line
constexpr int kExitOutput = 74;  // standard output could not be written (a full disk)

int RunList(const Args& args);
int RunFind(const Args& args);
int RunTerm(const Args& args);
int RunSend(const Args& args);
int RunQuery(const Args& args);

// Prints "kavrel CMD: message" and the command's usage line to stderr,
// returns kExitUsage.
int UsageError(const std::string& command, const std::string& message);

// The help text of a subcommand ("" for the overview).
const char* HelpText(const std::string& command);

// Parses a subcommand's arguments against specs, --help added. Returns the
// exit status when the command ends here (a usage error, or its help
// printed), nothing when it goes on with *parsed.
std::optional<int> ParseCommand(const std::string& command, const Args& args,
                                std::vector<OptionSpec> specs, ParsedArgs* parsed);

class CommPort;

// Makes the mode string from the options every port command shares
// (--baud, --mode) and opens the port by name. On failure, sets *status
// (a usage error, or kExitDevice with the component's error line printed)
// and returns null.
std::unique_ptr<CommPort> OpenFromArgs(const std::string& command, const std::string& name,
                                       const ParsedArgs& parsed, std::string* mode, int* status);

}  // namespace kavrel::cli
