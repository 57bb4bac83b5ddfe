#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "platform/Environment.h"
#include "platform/Paths.h"

namespace dralmin {
namespace {

std::string HomeFolder(const VariableReader& variable) {
  std::string home = variable("HOME").value_or("");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
      home = entry->pw_dir;
    }
  }
  return home.empty() ? "/tmp" : home;
}

// An XDG folder variable counts only when absolute: a relative one would depend on the current
// folder, which the agent changes.
std::string XdgFolder(const VariableReader& variable, const char* name, const char* fallback) {
  std::string folder = variable(name).value_or("");
  if (folder.starts_with('/')) return folder;
  return HomeFolder(variable) + fallback;
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

ConfigFolders ConfigFoldersFrom(const VariableReader& variable) {
  ConfigFolders folders;
  const std::string dirs = variable("XDG_CONFIG_DIRS").value_or("");
  std::string_view rest = dirs.empty() ? std::string_view("/etc/xdg") : std::string_view(dirs);
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    if (const std::string_view folder = rest.substr(0, colon); folder.starts_with('/')) {
      folders.system.emplace_back(folder);
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  folders.user = XdgFolder(variable, "XDG_CONFIG_HOME", "/.config");
  return folders;
}

std::string ConfigHome() {
  return XdgFolder(EnvironmentVariable, "XDG_CONFIG_HOME", "/.config");
}

std::string DataHome() {
  return XdgFolder(EnvironmentVariable, "XDG_DATA_HOME", "/.local/share");
}

std::string LocalDataHome() {
  return DataHome();
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
