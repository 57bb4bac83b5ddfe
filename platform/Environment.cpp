#include "platform/Environment.h"

#include <charconv>
#include <cstdlib>

namespace dralmin {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

uint16_t EnvPort(const char* name, uint16_t fallback) {
  const std::string text = EnvOr(name, "");
  unsigned port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port == 0 ||
      port > 65535) {
    return fallback;
  }
  return static_cast<uint16_t>(port);
}

}  // namespace dralmin
