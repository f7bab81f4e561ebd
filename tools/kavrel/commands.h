// The subcommands of kavrel. Each takes the arguments after its name and
// returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace kavrel::cli {

using Args = std::vector<std::string>;

// Exit statuses, the same for every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitNone = 1;     // find: no match; query: no reply in time
constexpr int kExitSeveral = 2;  // find: more than one match
constexpr int kExitDevice = 3;   // the port failed: the component's error line is printed
constexpr int kExitUsage = 64;   // bad command line

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

}  // namespace kavrel::cli
