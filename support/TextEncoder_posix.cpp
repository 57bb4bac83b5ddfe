#include "support/TextEncoder.h"

#include <strings.h>
#include <cerrno>
#include <cstring>

namespace dralmin {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Bytes of the one UTF-8 character at the start of `text`: the lead byte and the continuation
// bytes that follow it, so that a damaged sequence never swallows the character after it.
size_t Utf8CharLength(const char* text, size_t left) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  size_t taken = 1;
  while (taken < length && taken < left &&
         (static_cast<unsigned char>(text[taken]) & 0xC0) == 0x80) {
    ++taken;
  }
  return taken;
}

}  // namespace

TextEncoder::TextEncoder(const std::string& from, const std::string& to)
    : converter_(iconv_open(to.c_str(), from.c_str())),
      fromUtf8_(strcasecmp(from.c_str(), "UTF-8") == 0 || strcasecmp(from.c_str(), "UTF8") == 0) {
  if (converter_ == kNoConverter) {
    throw UnknownEncodingException("unknown encoding " + (from == "UTF-8" ? to : from));
  }
}

TextEncoder::~TextEncoder() {
  iconv_close(converter_);
}

std::string TextEncoder::Convert(std::string_view text) {
  iconv(converter_, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state for every text
  std::string out;
  char buffer[256];
  char* in = const_cast<char*>(text.data());  // iconv's signature; it does not write the input
  size_t inLeft = text.size();
  while (inLeft > 0) {
    char* outPos = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = iconv(converter_, &in, &inLeft, &outPos, &outLeft);
    out.append(buffer, static_cast<size_t>(outPos - buffer));
    if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ: unconvertible or invalid; EINVAL: a sequence cut off at the end of the text.
    const size_t skip = fromUtf8_ ? Utf8CharLength(in, inLeft) : 1;
    out.push_back('?');
    in += skip;
    inLeft -= skip;
  }
  char* outPos = buffer;
  size_t outLeft = sizeof buffer;
  iconv(converter_, nullptr, nullptr, &outPos, &outLeft);
  out.append(buffer, static_cast<size_t>(outPos - buffer));
  return out;
}

std::string CharsetOfCodePage(int codePage) {
  return "CP" + std::to_string(codePage);
}

}  // namespace dralmin
