#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Environment.h"
#include "platform/Paths.h"

namespace dralmin {
namespace {

std::string HomeFolder() {
  std::string home = EnvOr("HOME", "");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
      home = entry->pw_dir;
    }
  }
  return home.empty() ? "/tmp" : home;
}

}  // namespace

std::string ProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RuntimeFolder() {
  return EnvOr("XDG_RUNTIME_DIR", "/tmp");
}

std::string ConfigHome() {
  return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config");
}

std::string DataHome() {
  return EnvOr("XDG_DATA_HOME", HomeFolder() + "/.local/share");
}

bool ChangeFolder(const std::string& path) {
  return chdir(path.c_str()) == 0;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const std::string parent = FolderOf(path);
  if (!parent.empty() && parent != path && !MakeFolders(parent)) return false;
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace dralmin
