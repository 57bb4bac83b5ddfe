#pragma once

#include <string>

namespace dralmin {

inline constexpr const char* kInstanceLockName = "DralminTrayAgent_UniqueMutex";

// The agent role: one per user; serves pages until told to stop. Returns the exit code: 0 for a
// clean stop or when another agent of this user already runs, non-zero when the gateway cannot
// start or the single-instance lock cannot be taken at all.
int RunAgent(const std::string& programPath);

}  // namespace dralmin
