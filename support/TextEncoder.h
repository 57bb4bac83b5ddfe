#pragma once

#ifndef _WIN32
#include <iconv.h>
#endif

#include <stdexcept>
#include <string>
#include <string_view>

namespace dralmin {

// The charset is unknown to the system's converter.
class UnknownEncodingException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Converts texts from one charset to another with iconv (on Windows through UTF-16 with the
// system's code pages). A character the target charset lacks, and a byte sequence that is not
// valid in the source, each become one "?".
class TextEncoder {
 public:
  // Throws UnknownEncodingException when either charset is not known.
  TextEncoder(const std::string& from, const std::string& to);
  ~TextEncoder();
  TextEncoder(const TextEncoder&) = delete;
  TextEncoder& operator=(const TextEncoder&) = delete;

  std::string Convert(std::string_view text);

 private:
#ifdef _WIN32
  unsigned from_;
  unsigned to_;
#else
  iconv_t converter_;
  bool fromUtf8_;
#endif
};

// The iconv name of a printer code page: "CP866" or "CP1251".
std::string CharsetOfCodePage(int codePage);

}  // namespace dralmin
