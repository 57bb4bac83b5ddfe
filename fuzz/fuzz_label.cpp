// The label XML that "/print" hands to the support library, rendered to printer commands. The
// first byte picks the code page and the peeler flag; the rest is the XML.
#include "fuzz/FuzzInput.h"
#include "support/LabelRenderer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  if (size == 0) return 0;
  const int codePage = (data[0] & 1) != 0 ? 1251 : 866;
  const bool forcePeeler = (data[0] & 2) != 0;
  const std::string_view xml = AsText(data + 1, size - 1);
  std::string job;
  try {
    job = dralmin::LabelRenderer(codePage, forcePeeler).Render(xml);
  } catch (const dralmin::LabelException&) {
    // The one failure the renderer promises; anything else escaping is a fault.
    return 0;
  }
  Require(job.ends_with("\r\n"), "every command line ends in CR LF");
  // A line break inside a command would end it early and start another from label text.
  std::string_view lines = job;
  while (!lines.empty()) {
    const auto end = lines.find("\r\n");
    const std::string_view line = lines.substr(0, end);
    Require(line.find_first_of("\r\n") == std::string_view::npos, "no line break inside a command");
    lines.remove_prefix(end + 2);
  }
  return 0;
}
