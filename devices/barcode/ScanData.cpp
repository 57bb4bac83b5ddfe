#include "devices/barcode/ScanData.h"

#include <algorithm>
#include <cstdlib>

namespace dralmin {
namespace {

constexpr std::string_view kBlanks = " \t\n\r";
constexpr std::string_view kLabelStart = "<datalabel>";

}  // namespace

std::optional<std::string> ExtractDataLabel(std::string_view scanData) {
  const std::size_t open = scanData.find(kLabelStart);
  if (open == std::string_view::npos) return std::nullopt;
  const std::size_t start = open + kLabelStart.size();
  const std::size_t end = scanData.find("</", start);
  return TrimBlanks(scanData.substr(start, end == std::string_view::npos ? end : end - start));
}

std::string TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

std::string DecodeHexLabel(std::string_view label) {
  std::string code;
  std::size_t start = 0;
  for (;;) {
    const std::size_t next = label.find("0x", start + 1);
    // A token starts after its "0x". Where a label does not start with "0x" or two prefixes
    // overlap ("00x41", "x0x41") the token would begin past its end: it is empty then.
    const std::size_t from = std::min(start + 2, label.size());
    const std::size_t to = next == std::string_view::npos ? label.size() : std::max(next, from);
    const std::string token = TrimBlanks(label.substr(from, to - from));
    code.push_back(static_cast<char>(std::strtol(token.c_str(), nullptr, 16) & 0xFF));
    if (next == std::string_view::npos) return code;
    start = next;
  }
}

}  // namespace dralmin
