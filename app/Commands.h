#pragma once

#include <iosfwd>
#include <optional>

namespace dralmin {

// The program's commands for administrators and its installer, beside its two roles:
//   browser-policies write [--root FOLDER]   lets the pages of allowed_origins reach the agent
//                                            in the browsers without asking the user
//   browser-policies remove [--root FOLDER]  takes exactly that away again
//   stop-all                                 (Windows) ends the agents of every user
//   remove-user-data                         (Windows) removes what the agent keeps for each
//                                            user, for an uninstallation that leaves nothing
//   status                                   prints the running agent's status page as text
//   --help                                   the usage on standard output, status 0
// The browser policies read only the settings that hold for the whole machine. nullopt when the
// command line is a role's (no argument: the watchdog; "run" last: the agent); any other command
// line prints the usage on `err` and gives status 2.
std::optional<int> RunCommand(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err);

}  // namespace dralmin
