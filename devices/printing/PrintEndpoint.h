#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "replies/Request.h"

namespace dralmin {

// The support library's print call: label XML in, the page's answer out (never null).
using PrintFromXmlFunction = const char* (*)(const char* xml);

// "/print": cuts the label description out of a posted form and prints it.
class PrintEndpoint {
 public:
  // `printFromXml` is the library's dralmin_PrintFromXML unless a test puts another behind it.
  explicit PrintEndpoint(PrintFromXmlFunction printFromXml);
  PrintEndpoint();

  // The reply body: the library's answer unchanged, or empty when the request carries no
  // print_xml part (no Content-Type, no boundary, no such part, or a body cut short).
  std::string PrintForm(const Request& request);

  // One call into the library with the part text; its answer copied.
  std::string PrintLabel(const std::string& partText);

 private:
  PrintFromXmlFunction printFromXml_;
  // Held exactly for each library call, so that no two prints overlap whoever calls.
  std::mutex printMutex_;
};

}  // namespace dralmin
