#include "devices/printing/PrintEndpoint.h"

#include "devices/printing/MultipartForm.h"
#include "platform/Log.h"
#include "support/PrintService.h"
#include "support/dralmin.h"

namespace dralmin {
namespace {

// The page sees an empty answer; whoever supports the workstation learns why.
std::string NothingPrinted(std::string_view why) {
  LogWarning("printer", "nothing printed: " + std::string(why));
  return {};
}

}  // namespace

PrintEndpoint::PrintEndpoint(PrintFromXmlFunction printFromXml) : printFromXml_(printFromXml) {}

PrintEndpoint::PrintEndpoint() : PrintEndpoint(&dralmin_PrintFromXML) {}

std::string PrintEndpoint::PrintForm(const Request& request) {
  if (!request.contentType) return NothingPrinted("the request has no Content-Type");
  const std::optional<std::string> boundary = BoundaryOf(*request.contentType);
  if (!boundary) return NothingPrinted("the Content-Type names no boundary");
  // The library takes a C string, so the body counts up to its first NUL byte.
  const std::string_view body = request.body.substr(0, request.body.find('\0'));
  const std::optional<std::string_view> part = ExtractPrintXml(body, *boundary);
  if (!part) return NothingPrinted("the form has no print_xml part");
  return PrintLabel(std::string(*part));
}

std::string PrintEndpoint::PrintLabel(const std::string& partText) {
  const std::lock_guard lock(printMutex_);
  const char* answer = printFromXml_(partText.c_str());
  if (answer == nullptr) return NothingPrinted("the printing library gave no answer");
  // Any other answer says why the label was not printed, and the page shows it as an error.
  if (answer != kPrintedAnswer) LogWarning("printer", std::string("label not printed: ") + answer);
  return answer;
}

}  // namespace dralmin
