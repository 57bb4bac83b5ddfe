#include <windows.h>

#include <cctype>

#include "support/TextEncoder.h"

namespace dralmin {
namespace {

// The number after `prefix` in `name`, or 0.
unsigned NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 5 ||
      !name.starts_with(prefix) ||
      name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
    return 0;
  }
  return static_cast<unsigned>(std::stoul(name.substr(prefix.size())));
}

// The code page of a charset name as XML declarations and iconv spell it, in any letter case:
// UTF-8, CPnnn, WINDOWS-nnnn, IBMnnn, ISO-8859-n, KOI8-R, KOI8-U and ASCII.
unsigned CodePageOf(const std::string& charset) {
  std::string name;
  for (char c : charset) {
    name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  unsigned codePage = 0;
  if (name == "UTF-8" || name == "UTF8") {
    codePage = CP_UTF8;
  } else if (name == "KOI8-R") {
    codePage = 20866;
  } else if (name == "KOI8-U") {
    codePage = 21866;
  } else if (name == "ASCII" || name == "US-ASCII") {
    codePage = 20127;
  } else if (const unsigned part = NumberAfter(name, "ISO-8859-"); part >= 1 && part <= 15) {
    codePage = 28590 + part;
  } else {
    for (const char* prefix : {"CP", "WINDOWS-", "IBM"}) {
      if (codePage == 0) codePage = NumberAfter(name, prefix);
    }
  }
  if (codePage == 0 || !IsValidCodePage(codePage)) {
    throw UnknownEncodingException("unknown encoding " + charset);
  }
  return codePage;
}

}  // namespace

TextEncoder::TextEncoder(const std::string& from, const std::string& to)
    : from_(CodePageOf(from)), to_(CodePageOf(to)) {}

TextEncoder::~TextEncoder() = default;

std::string TextEncoder::Convert(std::string_view text) {
  if (text.empty()) return {};
  // Invalid source bytes become U+FFFD, which no 8-bit code page has: both end up as "?".
  const int size = static_cast<int>(text.size());
  const int wideLength = MultiByteToWideChar(from_, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(from_, 0, text.data(), size, wide.data(), wideLength);
  // No best-fit mapping: a character the code page lacks is "?", not a look-alike. UTF-8 has
  // every character and takes neither setting.
  const bool utf8 = to_ == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* missing = utf8 ? nullptr : "?";
  const int length =
      WideCharToMultiByte(to_, flags, wide.data(), wideLength, nullptr, 0, missing, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(to_, flags, wide.data(), wideLength, out.data(), length, missing, nullptr);
  return out;
}

std::string CharsetOfCodePage(int codePage) {
  return "CP" + std::to_string(codePage);
}

}  // namespace dralmin
