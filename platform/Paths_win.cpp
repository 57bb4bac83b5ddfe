#include <windows.h>
#include <shlobj.h>

#include "platform/Paths.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

// The user's roaming application data folder; empty when the shell cannot tell.
std::string ApplicationData() {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
  return Narrow(path);
}

}  // namespace

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return Narrow({path.data(), length});
    path.resize(path.size() * 2);
  }
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return {};
  return path.substr(0, slash);
}

std::string RuntimeFolder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, path);
  if (length == 0 || length > MAX_PATH) return ".";
  return FolderOf(Narrow({path, length}));  // without its closing backslash
}

std::string ConfigHome() {
  return ApplicationData();
}

std::string DataHome() {
  return ApplicationData();
}

bool ChangeFolder(const std::string& path) {
  return SetCurrentDirectoryW(Widen(path).c_str()) != 0;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::string parent = FolderOf(path);
  // "C:" is a drive, not a folder to make.
  if (!parent.empty() && parent != path && !(parent.size() == 2 && parent[1] == ':') &&
      !MakeFolders(parent)) {
    return false;
  }
  return CreateDirectoryW(wide.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace dralmin
