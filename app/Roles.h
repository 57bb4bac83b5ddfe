#pragma once

#include <string_view>

namespace dralmin {

// The run marker: the agent is the same program started with "run" as its last argument.
inline constexpr std::string_view kRunMarker = "run";

// True when the command line selects the agent role; any other command line is the watchdog.
bool IsAgentRun(int argc, const char* const* argv);

}  // namespace dralmin
