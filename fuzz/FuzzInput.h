#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace dralmin::fuzz {

inline std::string_view AsText(const uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A broken promise of the code under test: libFuzzer keeps the input that caused the abort.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Splits off the text before the first `separator`; `rest` keeps what follows it (empty when
// there is no separator).
inline std::string_view TakeUntil(std::string_view& rest, char separator) {
  const auto end = rest.find(separator);
  const std::string_view head = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return head;
}

// True when `text`, found between single quotes of a script, cannot end the string or the
// script element early: every quote, backslash escape and line break is escaped, and no "</".
inline bool IsSafeJsStringBody(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) return false;  // a lone backslash would escape the closing quote
      continue;
    }
    if (c == '\'' || c == '\n' || c == '\r') return false;
    if (c == '<' && i + 1 < text.size() && text[i + 1] == '/') return false;
  }
  return true;
}

}  // namespace dralmin::fuzz
