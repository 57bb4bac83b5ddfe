#include "replies/PercentDecode.h"

#include <algorithm>

namespace dralmin {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    const size_t digitsEnd = std::min(text.size(), i + 3);
    int value = 0;
    bool any = false;
    for (size_t j = i + 1; j < digitsEnd; ++j) {
      const int digit = HexValue(text[j]);
      if (digit < 0) break;
      value = value * 16 + digit;
      any = true;
    }
    if (any) out += static_cast<char>(value & 0xFF);
    i = digitsEnd;
  }
  return out;
}

}  // namespace dralmin
