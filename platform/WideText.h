#pragma once

#include <string>
#include <string_view>

namespace dralmin {

// The agent's texts are UTF-8; Windows takes and gives UTF-16. An invalid sequence becomes
// U+FFFD either way.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// The system's message for an error code of GetLastError, without its line break.
std::string SystemErrorText(unsigned long code);

}  // namespace dralmin
