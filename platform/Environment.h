#pragma once

#include <string>

namespace dralmin {

// Deployment and test settings come from the environment only; an unset or empty variable gives
// the default.
std::string EnvOr(const char* name, const std::string& fallback);

}  // namespace dralmin
