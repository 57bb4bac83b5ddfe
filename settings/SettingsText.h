#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dralmin {

// Without the blanks around it (spaces, tabs, a CR of a Windows line end).
inline std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The items of a comma-separated value, trimmed; empty items are left out.
inline std::vector<std::string> SplitList(std::string_view value) {
  std::vector<std::string> items;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view item = Trim(value.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

}  // namespace dralmin
