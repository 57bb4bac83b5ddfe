// The page origins of the Origin and Referer headers, and of the allowed_origins setting.
#include <string>

#include "fuzz/FuzzInput.h"
#include "replies/OriginPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  const std::string_view text = AsText(data, size);
  const std::optional<std::string> ofUrl = OriginOfUrl(text);
  if (const std::optional<std::string> origin = ParseOrigin(text)) {
    Require(ofUrl == origin, "an origin is its own URL's origin");
  }
  if (ofUrl) {
    Require(ParseOrigin(*ofUrl) == ofUrl, "a written origin reads back as itself");
    for (char c : *ofUrl) Require(!(c >= 'A' && c <= 'Z'), "origins are in lower case");
  }
  return 0;
}
