#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Environment.h"
#include "platform/MachineRegistry.h"
#include "settings/AgentSettings.h"

namespace dralmin {

// Values of one registry key, named as the keys (in any case); an empty value counts as unset.
struct RegistrySettings {
  std::string origin;  // the key, for messages
  std::vector<RegistryValue> values;
};

// Where settings come from. Later ones override earlier ones key by key, in this order: what the
// installer was given, the system file, the user's file, the environment, the policy.
struct SettingsSources {
  // System configuration folders, most important first: the first one that holds the file is
  // used.
  std::vector<std::string> systemFolders;
  // The user's configuration folder.
  std::string userFolder;
  // Reads an environment variable; nullopt when unset. Keys apply as DRALMIN_<KEY>.
  VariableReader environment;
  // What the installer was given (Windows), below every file.
  RegistrySettings installed = {};
  // The administrator's policy (Windows, Group Policy), above everything else: a setting made
  // centrally is not undone by a file or a variable.
  RegistrySettings policy = {};
};

// The registry keys of those two layers (below HKEY_LOCAL_MACHINE).
inline constexpr const char* kInstalledSettingsKey = "SOFTWARE\\Dralmin\\TrayAgent";
inline constexpr const char* kPolicySettingsKey = "SOFTWARE\\Policies\\Dralmin\\TrayAgent";

// The file below each configuration folder.
inline constexpr std::string_view kSettingsFile = "Dralmin/agent.conf";

// The sources as the process environment names them, with the registry layers of this machine.
SettingsSources SettingsSourcesFromEnvironment();

// Only what holds for every user of the machine: the registry layers and the system file.
SettingsSources MachineSettingsSources();

// The same from `variable`, which reads one environment variable (nullopt when unset); the
// folders are platform/Paths' configuration folders.
SettingsSources SettingsSourcesFrom(VariableReader variable);

// Reads the installer's values, the system file, the user's file, the environment and the policy,
// in that order. Each problem (a malformed line, an unknown key, a bad value, an unreadable file)
// is one line on `problems` naming the file and line, or the registry value; the key concerned
// keeps its earlier value.
AgentSettings LoadAgentSettings(const SettingsSources& sources, std::ostream& problems);

// Applies the `key = value` lines of `text` to `settings`; `path` names the text in messages
// and, with `kind`, in each value's origin.
void ApplySettingsText(AgentSettings& settings, std::string_view text, const std::string& path,
                       std::ostream& problems,
                       SettingOrigin::Kind kind = SettingOrigin::Kind::UserFile);

// Sets `key = value` in the settings file at `path`: the key's line is replaced, or one is
// appended; every other line, comments included, stays. The file is replaced in one step, so a
// reader never sees half of it. False, with `error`, when it could not be written.
bool StoreSetting(const std::string& path, std::string_view key, std::string_view value,
                  std::string& error);

// The user's settings file for these sources; empty when there is no user folder.
std::string UserSettingsPath(const SettingsSources& sources);

}  // namespace dralmin
