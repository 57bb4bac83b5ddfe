#include "devices/printing/PrintEndpoint.h"

#include "devices/printing/MultipartForm.h"
#include "support/dralmin.h"

namespace dralmin {

PrintEndpoint::PrintEndpoint(PrintFromXmlFunction printFromXml) : printFromXml_(printFromXml) {}

PrintEndpoint::PrintEndpoint() : PrintEndpoint(&dralmin_PrintFromXML) {}

std::string PrintEndpoint::PrintForm(const Request& request) {
  if (!request.contentType) return {};
  const std::optional<std::string> boundary = BoundaryOf(*request.contentType);
  if (!boundary) return {};
  // The library takes a C string, so the body counts up to its first NUL byte.
  const std::string_view body = request.body.substr(0, request.body.find('\0'));
  const std::optional<std::string_view> part = ExtractPrintXml(body, *boundary);
  if (!part) return {};
  return PrintLabel(std::string(*part));
}

std::string PrintEndpoint::PrintLabel(const std::string& partText) {
  const std::lock_guard lock(printMutex_);
  const char* answer = printFromXml_(partText.c_str());
  return answer != nullptr ? std::string(answer) : std::string();
}

}  // namespace dralmin
