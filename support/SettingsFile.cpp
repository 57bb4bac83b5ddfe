#include "support/SettingsFile.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace dralmin {
namespace {

constexpr std::string_view kAddressKey = "printerAddress";
constexpr std::string_view kCodePageKey = "codePage";
constexpr std::string_view kPeelerKey = "forcePeeler";

// The address is one line of the file, so a line break would cut it short on the next load.
std::string OneLine(const std::string& text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

int32_t NormalCodePage(int64_t codePage) {
  return codePage == kDosCyrillicCodePage ? kDosCyrillicCodePage : kDefaultCodePage;
}

std::string SettingsFile::DefaultPath() {
  return ConfigHome() + "/Dralmin/printer.conf";
}

StoredSettings SettingsFile::Load() const {
  StoredSettings settings;
  // Opened without waiting: a FIFO or device in its place would hang every print.
  const std::optional<std::string> content = ReadFileWhole(path_);
  if (!content) {
    if (errno != ENOENT) {
      LogWarning("printing", "the printer settings " + path_ +
                                 " cannot be read (defaults apply): " + std::strerror(errno));
    }
    return settings;
  }
  std::istringstream in(*content);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string_view key(line.data(), equals);
    const std::string_view value = std::string_view(line).substr(equals + 1);
    if (key == kAddressKey) {
      settings.printerAddress = value;
    } else if (key == kCodePageKey) {
      int64_t number = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
      const bool whole = error == std::errc() && end == value.data() + value.size();
      settings.codePage = whole ? NormalCodePage(number) : kDefaultCodePage;
    } else if (key == kPeelerKey) {
      settings.forcePeeler = value == "1";
    }
  }
  return settings;
}

bool SettingsFile::Save(const StoredSettings& settings, std::string* error) const {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what + " " + path_ + ": " + std::strerror(errno);
    return false;
  };
  const std::string folder = FolderOf(path_);
  if (!folder.empty() && !MakeFolders(folder)) return fail("cannot create the folder of");

  std::string text;
  text.append(kAddressKey).append("=").append(OneLine(settings.printerAddress)).append("\n");
  text.append(kCodePageKey).append("=");
  text.append(std::to_string(NormalCodePage(settings.codePage))).append("\n");
  text.append(kPeelerKey).append("=").append(settings.forcePeeler ? "1" : "0").append("\n");

  switch (WriteFileWhole(path_, text)) {
    case WriteFailure::kNone:
      return true;
    case WriteFailure::kCreate:
      return fail("cannot create a temporary file for");
    case WriteFailure::kWrite:
      return fail("cannot write");
    case WriteFailure::kReplace:
      return fail("cannot replace");
  }
  return fail("cannot write");
}

}  // namespace dralmin
