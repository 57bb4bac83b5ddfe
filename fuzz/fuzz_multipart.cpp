// The form of "/print": the first line is the Content-Type header, the rest the body.
#include "devices/printing/MultipartForm.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  std::string_view body = AsText(data, size);
  const std::string_view contentType = TakeUntil(body, '\n');
  dralmin::HeaderParameter(contentType, "name");
  const std::optional<std::string> boundary = dralmin::BoundaryOf(contentType);
  if (!boundary) return 0;
  Require(!boundary->empty(), "an empty boundary counts as none");
  const std::optional<std::string_view> part = dralmin::ExtractPrintXml(body, *boundary);
  if (!part) return 0;
  Require(part->data() >= body.data() && part->data() + part->size() <= body.data() + body.size(),
          "the part lies inside the body");
  const std::size_t end = static_cast<std::size_t>(part->data() - body.data()) + part->size();
  // A part with no delimiter after it runs to the end of the body.
  Require(end == body.size() || body.substr(end).starts_with("\r\n--" + *boundary),
          "the part ends where a delimiter begins or with the body");
  return 0;
}
