#pragma once

#include <cstdint>
#include <string>

namespace dralmin {

// Deployment and test settings come from the environment only; an unset or empty variable gives
// the default.
std::string EnvOr(const char* name, const std::string& fallback);

// A TCP port from the environment; a value that is not a port number 1..65535 gives the default.
uint16_t EnvPort(const char* name, uint16_t fallback);

}  // namespace dralmin
