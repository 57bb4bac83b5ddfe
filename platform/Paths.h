#pragma once

#include <string>
#include <vector>

#include "platform/Environment.h"

namespace dralmin {

// What separates folder names in a path of this system.
#ifdef _WIN32
inline constexpr const char* kFolderSeparator = "\\";
#else
inline constexpr const char* kFolderSeparator = "/";
#endif

// Absolute path of the running program file; empty when the system cannot tell.
std::string ProgramPath();

// The folder of a path: everything before its last "/", or empty when there is none.
std::string FolderOf(const std::string& path);

// Per-user folder for runtime files such as locks: $XDG_RUNTIME_DIR, else /tmp.
std::string RuntimeFolder();

// The configuration folders, as `variable` names them.
struct ConfigFolders {
  // The system's, most important first: $XDG_CONFIG_DIRS (absolute ones only), default /etc/xdg;
  // %PROGRAMDATA% on Windows.
  std::vector<std::string> system;
  // The user's: $XDG_CONFIG_HOME when absolute, else ~/.config; %APPDATA% on Windows.
  std::string user;
};
ConfigFolders ConfigFoldersFrom(const VariableReader& variable);

// The user's configuration folder of the process environment (ConfigFoldersFrom's user).
std::string ConfigHome();

// $XDG_DATA_HOME when absolute, else ~/.local/share; %APPDATA% on Windows.
std::string DataHome();

// For data that stays on this machine (it does not roam with the user): DataHome here,
// %LOCALAPPDATA% on Windows.
std::string LocalDataHome();

// Makes `path` the current folder; false when it cannot.
bool ChangeFolder(const std::string& path);

// Creates a folder and its missing parents, each for the agent's user alone; true when it exists
// afterwards.
bool MakeFolders(const std::string& path);

}  // namespace dralmin
