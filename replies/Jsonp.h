#pragma once

#include <string>
#include <string_view>

namespace dralmin {

// Appends `text` so that, placed between single quotes in a script, it reads back as the same
// bytes: backslash, quote and line breaks are escaped, and "</" is broken up so that the text
// cannot close the script block that loaded it.
void AppendJsString(std::string& out, std::string_view text);

// The charset every reply declares. Texts the agent's side makes from characters (codes typed by
// keyboard scanners) are written in it, so that a page reads back what was typed.
inline constexpr const char* kReplyCharset = "windows-1251";

// Reply forms shared by more than one place.
inline constexpr std::string_view kWeightCallback = "DralminWeighter__callback(";
inline constexpr std::string_view kFingerprintCallback = "VeltranaSdk__callback(";

// "VeltranaSdk__callback({error:'" + message + "'});"
std::string FingerprintError(std::string_view message);

}  // namespace dralmin
