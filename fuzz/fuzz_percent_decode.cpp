// The path decoding every request goes through, and once more every upload address.
#include "fuzz/FuzzInput.h"
#include "replies/PercentDecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  const std::string_view text = AsText(data, size);
  const std::string decoded = dralmin::PercentDecode(text);
  Require(decoded.size() <= text.size(), "decoding never lengthens a text");
  if (text.find('%') == std::string_view::npos) {
    Require(decoded == text, "a text without escapes is unchanged");
  }
  return 0;
}
