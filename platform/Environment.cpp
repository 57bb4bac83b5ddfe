#include "platform/Environment.h"

#include <cstdlib>

namespace dralmin {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

}  // namespace dralmin
