#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// Decoding of the scanner driver's scan-data XML. The driver writes the scanned code as a list of
// 0x-prefixed hexadecimal byte values inside a <datalabel> element; these turn it back into the
// code's bytes, unchanged by any code page.

// The text between the first "<datalabel>" and the next "</" (or the end), with blanks trimmed;
// nullopt when there is no "<datalabel>".
std::optional<std::string> ExtractDataLabel(std::string_view scanData);

// Drops every leading and trailing space, tab, LF and CR.
std::string TrimBlanks(std::string_view text);

// The bytes of a label such as "0x34 0x36 0x30 0x31" ("4601"). Every "0x" after the first
// character starts a new byte, the first token starts two characters in, a token without
// hexadecimal digits gives a zero byte and a longer one only its low byte.
std::string DecodeHexLabel(std::string_view label);

}  // namespace dralmin
