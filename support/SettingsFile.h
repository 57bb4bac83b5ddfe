#pragma once

#include <cstdint>
#include <string>

namespace dralmin {

// The label printer settings as the library keeps them.
struct StoredSettings {
  std::string printerAddress;
  int32_t codePage = 1251;
  bool forcePeeler = false;

  bool operator==(const StoredSettings&) const = default;
};

// The code pages a label text can be printed in; anything else falls back to the first.
inline constexpr int32_t kDefaultCodePage = 1251;
inline constexpr int32_t kDosCyrillicCodePage = 866;

// A small key=value text file holding the printer settings. Not thread-safe: the library
// serialises its calls.
class SettingsFile {
 public:
  explicit SettingsFile(std::string path) : path_(std::move(path)) {}

  // $XDG_CONFIG_HOME/Dralmin/printer.conf (~/.config when unset), read at each call so that a
  // changed environment is followed.
  static std::string DefaultPath();

  // The saved settings; defaults for a missing or unreadable file and for each line that is not
  // understood.
  StoredSettings Load() const;

  // Writes the whole file atomically (temporary file beside it, then rename), creating its
  // folder. False, with `error` set for developers, when the file could not be written.
  bool Save(const StoredSettings& settings, std::string* error = nullptr) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// 866 stays 866; every other value becomes 1251.
int32_t NormalCodePage(int64_t codePage);

}  // namespace dralmin
