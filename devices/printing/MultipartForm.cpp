#include "devices/printing/MultipartForm.h"

#include <strings.h>

namespace dralmin {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kBlanks = " \t";

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Where the delimiter line that starts at `start` ("--" + boundary) ends, past its CR LF, or
// npos when the bytes there are not a delimiter line: a longer word that merely begins with the
// boundary is content. `closing` tells the final delimiter ("--" + boundary + "--").
size_t DelimiterLineEnd(std::string_view body, size_t start, std::string_view delimiter,
                        bool& closing) {
  if (body.substr(start, delimiter.size()) != delimiter) return std::string_view::npos;
  size_t pos = start + delimiter.size();
  closing = body.substr(pos, 2) == "--";
  if (closing) return pos + 2;
  pos = body.find_first_not_of(kBlanks, pos);  // transport padding
  if (pos == std::string_view::npos || body.substr(pos, kLineEnd.size()) != kLineEnd) {
    return std::string_view::npos;
  }
  return pos + kLineEnd.size();
}

// The next delimiter at or after `from`, which begins at the CR LF that ends the content before
// it; npos when the body holds no further delimiter.
size_t NextDelimiter(std::string_view body, size_t from, std::string_view delimiter) {
  const std::string withBreak = std::string(kLineEnd) + std::string(delimiter);
  for (size_t pos = body.find(withBreak, from); pos != std::string_view::npos;
       pos = body.find(withBreak, pos + 1)) {
    bool closing = false;
    if (DelimiterLineEnd(body, pos + kLineEnd.size(), delimiter, closing) !=
        std::string_view::npos) {
      return pos;
    }
  }
  return std::string_view::npos;
}

bool NamesPrintXml(std::string_view headers) {
  while (!headers.empty()) {
    const auto lineEnd = headers.find(kLineEnd);
    const std::string_view line = headers.substr(0, lineEnd);
    headers = lineEnd == std::string_view::npos ? std::string_view()
                                                : headers.substr(lineEnd + kLineEnd.size());
    const auto colon = line.find(':');
    if (colon == std::string_view::npos ||
        !SameWord(Trimmed(line.substr(0, colon)), "Content-Disposition")) {
      continue;
    }
    const std::string_view value = line.substr(colon + 1);
    const std::string_view type = Trimmed(value.substr(0, value.find(';')));
    return SameWord(type, "form-data") && HeaderParameter(value, "name") == "print_xml";
  }
  return false;
}

}  // namespace

std::optional<std::string> HeaderParameter(std::string_view headerValue, std::string_view name) {
  size_t pos = headerValue.find(';');
  // Parameters follow the first ";"; a quoted value may itself hold ";" or "=".
  while (pos != std::string_view::npos && pos < headerValue.size()) {
    ++pos;  // past the ";"
    const auto equals = headerValue.find_first_of("=;", pos);
    if (equals == std::string_view::npos || headerValue[equals] == ';') {
      pos = equals;
      continue;
    }
    const std::string_view key = Trimmed(headerValue.substr(pos, equals - pos));
    pos = headerValue.find_first_not_of(kBlanks, equals + 1);
    std::string value;
    if (pos != std::string_view::npos && headerValue[pos] == '"') {
      bool closed = false;
      for (++pos; pos < headerValue.size(); ++pos) {
        const char c = headerValue[pos];
        if (c == '"') {
          closed = true;
          ++pos;
          break;
        }
        if (c == '\\' && pos + 1 < headerValue.size()) ++pos;
        value += headerValue[pos];
      }
      if (!closed) return std::nullopt;
      pos = headerValue.find(';', pos);
    } else if (pos != std::string_view::npos) {
      const auto end = headerValue.find(';', pos);
      value = Trimmed(headerValue.substr(pos, end == std::string_view::npos ? end : end - pos));
      pos = end;
    }
    if (SameWord(key, name)) return value;
  }
  return std::nullopt;
}

std::optional<std::string> BoundaryOf(std::string_view contentType) {
  std::optional<std::string> boundary = HeaderParameter(contentType, "boundary");
  if (boundary && boundary->empty()) return std::nullopt;
  return boundary;
}

std::optional<std::string_view> ExtractPrintXml(std::string_view body, std::string_view boundary) {
  if (boundary.empty()) return std::nullopt;
  const std::string delimiter = "--" + std::string(boundary);

  // The first delimiter may open the body or follow a preamble.
  size_t start = 0;
  bool closing = false;
  if (DelimiterLineEnd(body, 0, delimiter, closing) == std::string_view::npos) {
    start = NextDelimiter(body, 0, delimiter);
    if (start == std::string_view::npos) return std::nullopt;
    start += kLineEnd.size();
  }
  for (;;) {
    const size_t partStart = DelimiterLineEnd(body, start, delimiter, closing);
    if (partStart == std::string_view::npos || closing) return std::nullopt;
    // A part without headers starts with the blank line straight away.
    size_t headersEnd = 0;
    size_t contentStart = 0;
    if (body.substr(partStart, kLineEnd.size()) == kLineEnd) {
      headersEnd = partStart;
      contentStart = partStart + kLineEnd.size();
    } else {
      headersEnd = body.find("\r\n\r\n", partStart);
      if (headersEnd == std::string_view::npos) return std::nullopt;
      contentStart = headersEnd + 2 * kLineEnd.size();
    }
    const size_t contentEnd = NextDelimiter(body, contentStart, delimiter);
    if (NamesPrintXml(body.substr(partStart, headersEnd - partStart))) {
      // Without a delimiter after it the part runs to the end of the body.
      return body.substr(contentStart, contentEnd == std::string_view::npos
                                           ? std::string_view::npos
                                           : contentEnd - contentStart);
    }
    if (contentEnd == std::string_view::npos) return std::nullopt;
    start = contentEnd + kLineEnd.size();
  }
}

}  // namespace dralmin
