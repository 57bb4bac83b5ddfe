#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/fingerprint/SdkLibrary.h"
#include "platform/MachineRegistry.h"

namespace dralmin {

// Every setting of the agent (and of its barcode driver, which reads the same files). Built once
// at start-up by LoadAgentSettings and passed down; nothing below app/ reads files or the
// environment for settings. Each field's default is the agent's behaviour without any file.
struct AgentSettings {
  // Gateway.
  std::string listenAddress = "127.0.0.1";
  uint16_t httpPort = 8081;
  uint16_t httpsPort = 8433;
  std::string certBaseUrl;  // the build's default when the settings are loaded
  // Page origins allowed to use the devices ("scheme://host[:port]" as ParseOrigin writes them).
  // nullopt: every page; an empty list: none (every origin listed was unreadable).
  std::optional<std::vector<std::string>> allowedOrigins;

  // Devices.
  std::string serialPorts;  // comma-separated; empty: the usual serial device names
  std::string fingerprintSdk = kDefaultSdkLibrary;
  std::string twainDsm = "libtwaindsm.so";

  // Document scanning: "auto" (TWAIN when its manager library loads, otherwise SANE), "twain"
  // or "sane".
  std::string scanBackend = "auto";
  std::string saneDevice;          // SANE's name of the scanner; empty: the first one found
  bool scanDialog = true;          // false: scans start at once, for unattended stations
  std::string scanSource;          // "flatbed" or "feeder"; empty: the feeder when there is one
  std::string scanMode = "color";  // "color", "gray" or "lineart"
  int scanResolution = 200;        // dots per inch; the device's nearest is used

  // The barcode scanner driver (dralmin-scanner-driver).
  // Devices to read: event or serial device paths, or "usb:VVVV:PPPP" (hexadecimal vendor and
  // product ids); empty: none, as keyboards are never grabbed by guessing.
  std::vector<std::string> barcodeDevices;
  // The keyboard layout a keyboard scanner types in: "us", "de", "fr(azerty)" and so on.
  std::string barcodeLayout = "us";
  // A keyboard scanner's code ends after this long without a key, or at the end key.
  int barcodeIdleMs = 50;
  std::string barcodeEnd = "enter";  // "enter" or "tab"

  // Diagnostics on standard error: "error", "warning", "info" or "debug".
  std::string logLevel = "info";

  bool operator==(const AgentSettings&) const = default;
};

// Values of one registry key, named as the keys (in any case); an empty value counts as unset.
struct RegistrySettings {
  std::string origin;  // the key, for messages
  std::vector<RegistryValue> values;
};

// Where settings come from. Later ones override earlier ones key by key, in this order: what the
// installer was given, the system file, the user's file, the environment, the policy.
struct SettingsSources {
  // System configuration folders, most important first ($XDG_CONFIG_DIRS, default /etc/xdg;
  // %PROGRAMDATA% on Windows): the first one that holds the file is used.
  std::vector<std::string> systemFolders;
  // The user's configuration folder ($XDG_CONFIG_HOME, default ~/.config; %APPDATA% on Windows).
  std::string userFolder;
  // Reads an environment variable; nullopt when unset. Keys apply as DRALMIN_<KEY>.
  std::function<std::optional<std::string>(const std::string&)> environment;
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

// The same from `variable`, which reads one environment variable (nullopt when unset).
SettingsSources SettingsSourcesFrom(
    std::function<std::optional<std::string>(const std::string&)> variable);

// Reads the installer's values, the system file, the user's file, the environment and the policy,
// in that order. Each problem (a malformed line, an unknown key, a bad value, an unreadable file)
// is one line on `problems` naming the file and line, or the registry value; the key concerned
// keeps its earlier value.
AgentSettings LoadAgentSettings(const SettingsSources& sources, std::ostream& problems);

// Applies the `key = value` lines of `text` to `settings`; `origin` names the text in messages.
void ApplySettingsText(AgentSettings& settings, std::string_view text, const std::string& origin,
                       std::ostream& problems);

// Applies one value; nullopt on success, else what is wrong with it. An unknown key is an error
// that names the closest known key when one is near.
std::optional<std::string> ApplySetting(AgentSettings& settings, std::string_view key,
                                        std::string_view value);

// Sets `key = value` in the settings file at `path`: the key's line is replaced, or one is
// appended; every other line, comments included, stays. The file is replaced in one step, so a
// reader never sees half of it. False, with `error`, when it could not be written.
bool StoreSetting(const std::string& path, std::string_view key, std::string_view value,
                  std::string& error);

// The user's settings file for these sources; empty when there is no user folder.
std::string UserSettingsPath(const SettingsSources& sources);

// The known keys, in the order the shipped configuration file lists them.
std::vector<std::string_view> SettingKeys();

}  // namespace dralmin
