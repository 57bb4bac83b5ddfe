#pragma once

#include <string>
#include <string_view>

namespace dralmin {

// Decodes %XX escapes. A "%" takes up to the next two characters and reads their leading
// hexadecimal digits; when there are none it yields no byte at all.
std::string PercentDecode(std::string_view text);

}  // namespace dralmin
