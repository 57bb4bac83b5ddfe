#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Log.h"

namespace dralmin {

// The words of the settings that are one of a few, in the order of their values.
enum class ScanBackend { Auto, Twain, Sane };  // Auto: TWAIN when its manager loads, else SANE
inline constexpr std::array<std::string_view, 3> kScanBackendNames = {"auto", "twain", "sane"};
enum class ScanSource { Any, Flatbed, Feeder };  // Any: the feeder when there is one
inline constexpr std::array<std::string_view, 3> kScanSourceNames = {"", "flatbed", "feeder"};
enum class ScanMode { Color, Gray, Lineart };
inline constexpr std::array<std::string_view, 3> kScanModeNames = {"color", "gray", "lineart"};
enum class BarcodeEnd { Enter, Tab };
inline constexpr std::array<std::string_view, 2> kBarcodeEndNames = {"enter", "tab"};

inline std::string_view NameOf(ScanSource source) {
  return kScanSourceNames[static_cast<size_t>(source)];
}
inline std::string_view NameOf(ScanMode mode) {
  return kScanModeNames[static_cast<size_t>(mode)];
}

#ifdef _WIN32
inline constexpr const char* kDefaultFingerprintSdk = "quorvelsdk.dll";
#else
inline constexpr const char* kDefaultFingerprintSdk = "libquorvelsdk.so";
#endif

// Where a value came from, for whoever wonders why the agent does what it does.
struct SettingOrigin {
  enum class Kind { Default, SystemFile, UserFile, Environment, Installer, Policy };
  Kind kind = Kind::Default;
  std::string where;  // the file's path, the variable's name or the registry value's
  int line = 0;       // the line in the file; 0 for the others

  bool operator==(const SettingOrigin&) const = default;
};

// "default", "/etc/xdg/Dralmin/agent.conf:3", "environment DRALMIN_HTTP_PORT" or the registry
// value ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Dralmin\\TrayAgent\\http_port").
std::string Describe(const SettingOrigin& origin);

// The origin of each value that is not its default, by key.
struct SettingOrigins {
  std::map<std::string, SettingOrigin, std::less<>> byKey;

  SettingOrigin Of(std::string_view key) const;
  // Settings with the same values are the same settings, wherever the values came from.
  bool operator==(const SettingOrigins&) const { return true; }
};

// Every setting of the agent (and of its barcode driver, which reads the same files). Built once
// at start-up by LoadAgentSettings and passed down; nothing below app/ reads files or the
// environment for settings. Each field's default is the agent's behaviour without any file; each
// value is checked and parsed once, when it is read.
struct AgentSettings {
  // Gateway.
  std::string listenAddress = "127.0.0.1";
  uint16_t httpPort = 8081;
  uint16_t httpsPort = 8433;
  bool sharedPorts = true;  // each user's connections reach that user's agent on the same ports
  // The port broker's rendezvous, where the system runs one; empty: none is looked for.
#ifdef _WIN32
  std::string portBroker = R"(\\.\pipe\dralmin-tray-agent-broker)";
#else
  std::string portBroker = "/run/dralmin-tray-agent/broker.sock";
#endif
  std::string certBaseUrl;  // the build's default when the settings are loaded
  // Page origins allowed to use the devices ("scheme://host[:port]" as ParseOrigin writes them).
  // nullopt: every page; an empty list: none (every origin listed was unreadable).
  std::optional<std::vector<std::string>> allowedOrigins;

  // Devices.
  std::string serialPorts;  // comma-separated; empty: the usual serial device names
  std::string fingerprintSdk = kDefaultFingerprintSdk;
#ifdef _WIN32
  // Found by the system's normal search, the first that loads: the TWAIN 2 manager, or a 64-bit
  // build of the older one (Wine has one).
  std::string twainDsm = "TWAINDSM.DLL, TWAIN_32.DLL";
#else
  std::string twainDsm = "libtwaindsm.so";
#endif

  // Document scanning.
  ScanBackend scanBackend = ScanBackend::Auto;
  std::string saneDevice;  // SANE's name of the scanner; empty: the first one found
  bool scanDialog = true;  // false: scans start at once, for unattended stations
  ScanSource scanSource = ScanSource::Any;
  ScanMode scanMode = ScanMode::Color;
  int scanResolution = 200;  // dots per inch; the device's nearest is used
  int scanKeepHours = 24;    // scanned pages not fetched within this long are deleted
  int scanQueueMb = 1024;    // the scanned pages waiting on the disk may take this much

  // The barcode scanner driver (dralmin-scanner-driver).
  // Devices to read: event or serial device paths, or "usb:VVVV:PPPP" (hexadecimal vendor and
  // product ids); empty: none, as keyboards are never grabbed by guessing.
  std::vector<std::string> barcodeDevices;
  // The keyboard layout a keyboard scanner types in: "us", "de", "fr(azerty)" and so on.
  std::string barcodeLayout = "us";
  // A keyboard scanner's code ends after this long without a key, or at the end key.
  int barcodeIdleMs = 50;
  BarcodeEnd barcodeEnd = BarcodeEnd::Enter;

  // Diagnostics on standard error.
  LogLevel logLevel = LogLevel::Info;

  SettingOrigins origins;

  bool operator==(const AgentSettings&) const = default;
};

// Applies one value; nullopt on success, else what is wrong with it (the value then stays, but
// for allowed_origins, whose readable origins apply). An unknown key is an error that names the
// closest known key when one is near.
std::optional<std::string> ApplySetting(AgentSettings& settings, std::string_view key,
                                        std::string_view value, const SettingOrigin& origin = {});

// The value of a known key as a settings file would write it; empty for an unknown key.
std::string SettingValue(const AgentSettings& settings, std::string_view key);

// The known keys, in the order the shipped configuration file lists them.
std::vector<std::string_view> SettingKeys();

// The build's certificate server, the default of cert_base_url.
std::string DefaultCertBaseUrl();

}  // namespace dralmin
