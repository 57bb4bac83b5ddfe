#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Environment.h"
#include "settings/AgentSettings.h"

namespace dralmin {

// Where settings come from, in the order they apply (later ones override earlier ones per key).
struct SettingsSources {
  // System configuration folders, most important first: the first one that holds the file is
  // used.
  std::vector<std::string> systemFolders;
  // The user's configuration folder.
  std::string userFolder;
  // Reads an environment variable; nullopt when unset. Keys apply as DRALMIN_<KEY>.
  VariableReader environment;
};

// The file below each configuration folder.
inline constexpr std::string_view kSettingsFile = "Dralmin/agent.conf";

// The sources as the process environment names them.
SettingsSources SettingsSourcesFromEnvironment();

// The same from `variable`, which reads one environment variable (nullopt when unset); the
// folders are platform/Paths' configuration folders.
SettingsSources SettingsSourcesFrom(VariableReader variable);

// Reads the system file, the user's file and the environment, in that order. Each problem (a
// malformed line, an unknown key, a bad value, an unreadable file) is one line on `problems`
// naming the file and line; the key concerned keeps its earlier value.
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
