#include "support/SettingsFile.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <string_view>

#include "platform/Files.h"
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

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
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
  std::ifstream in(path_, std::ios::binary);
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

  std::string temporary;
  const int fd = CreateFileBeside(path_, temporary);
  if (fd < 0) return fail("cannot create a temporary file for");
  const bool written = WriteAll(fd, text) && SyncFile(fd);
  const int savedErrno = errno;
  close(fd);
  if (!written) {
    RemoveFile(temporary);
    errno = savedErrno;
    return fail("cannot write");
  }
  if (!PutInPlace(temporary, path_)) {
    const int renameErrno = errno;
    RemoveFile(temporary);
    errno = renameErrno;
    return fail("cannot replace");
  }
  return true;
}

}  // namespace dralmin
