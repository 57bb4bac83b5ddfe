#pragma once

#include <string>

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

// $XDG_CONFIG_HOME, else ~/.config.
std::string ConfigHome();

// $XDG_DATA_HOME, else ~/.local/share.
std::string DataHome();

// Makes `path` the current folder; false when it cannot.
bool ChangeFolder(const std::string& path);

// Creates a folder and its missing parents; true when it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace dralmin
