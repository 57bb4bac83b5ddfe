#include <shlobj.h>
#include <windows.h>

#include "platform/AccessControl_win.h"
#include "platform/Paths.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

// A shell folder (CSIDL_APPDATA, ...); empty when the shell cannot tell.
std::string ShellFolder(int which) {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
  return Narrow(path);
}

// The folder the variable names, else the shell's.
std::string Folder(const VariableReader& variable, const char* name, int which) {
  std::string folder = variable(name).value_or("");
  return folder.empty() ? ShellFolder(which) : folder;
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

// Machine-wide settings under ProgramData; the user's in the roaming application data folder.
ConfigFolders ConfigFoldersFrom(const VariableReader& variable) {
  ConfigFolders folders;
  if (std::string data = Folder(variable, "PROGRAMDATA", CSIDL_COMMON_APPDATA); !data.empty()) {
    folders.system.push_back(std::move(data));
  }
  folders.user = Folder(variable, "APPDATA", CSIDL_APPDATA);
  return folders;
}

std::string ConfigHome() {
  return Folder(EnvironmentVariable, "APPDATA", CSIDL_APPDATA);
}

std::string DataHome() {
  return ConfigHome();
}

std::string LocalDataHome() {
  return Folder(EnvironmentVariable, "LOCALAPPDATA", CSIDL_LOCAL_APPDATA);
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
  // For this user alone, as a mode of 0700 on POSIX: what the agent keeps in it is private.
  PrivateSecurity security;
  return CreateDirectoryW(wide.c_str(), security.attributes()) != 0 ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace dralmin
