#pragma once

#include <cstddef>
#include <limits>

namespace dralmin {

// No limit on how many files and sockets the process may hold open.
inline constexpr std::size_t kNoDescriptorLimit = std::numeric_limits<std::size_t>::max();

// Raises the process's soft limit on open descriptors to its hard limit, as far as the system
// lets it; returns the limit in force afterwards (kNoDescriptorLimit where there is none, as for
// Windows' handles).
std::size_t RaiseDescriptorLimit();

}  // namespace dralmin
