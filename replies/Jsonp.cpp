#include "replies/Jsonp.h"

namespace dralmin {

void AppendJsString(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '/':
        out += (i > 0 && text[i - 1] == '<') ? "\\/" : "/";
        break;
      default:
        out += c;
    }
  }
}

std::string FingerprintError(std::string_view message) {
  std::string body(kFingerprintCallback);
  body += "{error:'";
  AppendJsString(body, message);
  body += "'});";
  return body;
}

}  // namespace dralmin
