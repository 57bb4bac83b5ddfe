#pragma once

#include <iosfwd>

#include "settings/AgentSettings.h"

namespace dralmin {

// The exit status when no agent answers on its port.
inline constexpr int kNoAgentRuns = 3;

// Prints the running agent's status page as text on `out`: 0 when it answered, kNoAgentRuns
// when nothing listens on its port, 1 for any other failure (said on `err`).
int PrintAgentStatus(const AgentSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace dralmin
