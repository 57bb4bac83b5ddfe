#pragma once

#include <functional>
#include <optional>
#include <string>

namespace dralmin {

// Reads one environment variable; nullopt when it is unset. Passed where a test gives its own.
using VariableReader = std::function<std::optional<std::string>(const std::string&)>;

// The process environment, as a VariableReader.
std::optional<std::string> EnvironmentVariable(const std::string& name);

// The variable, or `fallback` when it is unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

}  // namespace dralmin
