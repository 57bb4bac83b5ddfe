#include "app/AgentSettings.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "gateway/OriginPolicy.h"
#include "platform/Files.h"

namespace dralmin {
namespace {

using Apply = std::optional<std::string> (*)(AgentSettings&, std::string_view);

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> Port(uint16_t& field, std::string_view value) {
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (ec != std::errc() || end != value.data() + value.size() || number < 1 || number > 65535) {
    return "'" + std::string(value) + "' is not a port number (1..65535)";
  }
  field = static_cast<uint16_t>(number);
  return std::nullopt;
}

std::optional<std::string> Text(std::string& field, std::string_view value) {
  field = std::string(value);
  return std::nullopt;
}

// The gateway listens on an address, not a name: a name here would end every start.
std::optional<std::string> Address(std::string& field, std::string_view value) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(std::string(value), ec);
  if (ec) return "'" + std::string(value) + "' is not an IP address (127.0.0.1, 0.0.0.0, ::1, ...)";
  field = std::string(value);
  return std::nullopt;
}

// Empty: the address this build was made with. The file names are appended to it, so a missing
// last "/" is added.
std::optional<std::string> CertBaseUrl(std::string& field, std::string_view value) {
  if (value.empty()) {
    field = DRALMIN_DEFAULT_CERT_BASE_URL;
    return std::nullopt;
  }
  if (!value.starts_with("http://") && !value.starts_with("https://")) {
    return "'" + std::string(value) + "' is not an http:// or https:// address";
  }
  field = std::string(value);
  if (!field.ends_with('/')) field += '/';
  return std::nullopt;
}

std::optional<std::string> OneOf(std::string& field, std::string_view value,
                                 std::initializer_list<std::string_view> allowed) {
  if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
    std::string list;
    for (std::string_view a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
    return "'" + std::string(value) + "' is not one of " + list;
  }
  field = std::string(value);
  return std::nullopt;
}

std::optional<std::string> Milliseconds(int& field, std::string_view value, int low, int high) {
  int number = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (ec != std::errc() || end != value.data() + value.size() || number < low || number > high) {
    return "'" + std::string(value) + "' is not a number of milliseconds (" + std::to_string(low) +
           ".." + std::to_string(high) + ")";
  }
  field = number;
  return std::nullopt;
}

std::vector<std::string> SplitList(std::string_view value) {
  std::vector<std::string> items;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view item = Trim(value.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

// Empty: every page. An unreadable origin must not open the devices to every page: the readable
// ones apply, and when none is, no page may use the devices.
std::optional<std::string> Origins(std::optional<std::vector<std::string>>& field,
                                   std::string_view value) {
  const std::vector<std::string> items = SplitList(value);
  if (items.empty()) {
    field.reset();
    return std::nullopt;
  }
  std::vector<std::string> origins;
  std::string unreadable;
  for (const std::string& item : items) {
    if (std::optional<std::string> origin = ParseOrigin(item)) {
      origins.push_back(std::move(*origin));
    } else {
      unreadable += (unreadable.empty() ? "'" : ", '") + item + "'";
    }
  }
  const size_t bad = items.size() - origins.size();
  field = std::move(origins);
  if (bad == 0) return std::nullopt;
  return unreadable + (bad == 1 ? " is not a page origin" : " are not page origins") +
         " (scheme://host[:port]); " +
         (bad == items.size() ? "no page may use the devices"
                              : "only the other listed origins may use the devices");
}

struct Key {
  std::string_view name;
  Apply apply;
};

// One row a key; the order is the shipped file's.
const Key kKeys[] = {
    {"http_port", [](AgentSettings& s, std::string_view v) { return Port(s.httpPort, v); }},
    {"https_port", [](AgentSettings& s, std::string_view v) { return Port(s.httpsPort, v); }},
    {"listen_address",
     [](AgentSettings& s, std::string_view v) { return Address(s.listenAddress, v); }},
    {"allowed_origins",
     [](AgentSettings& s, std::string_view v) { return Origins(s.allowedOrigins, v); }},
    {"cert_base_url",
     [](AgentSettings& s, std::string_view v) { return CertBaseUrl(s.certBaseUrl, v); }},
    {"serial_ports", [](AgentSettings& s, std::string_view v) { return Text(s.serialPorts, v); }},
    {"fingerprint_sdk",
     [](AgentSettings& s, std::string_view v) { return Text(s.fingerprintSdk, v); }},
    {"twain_dsm", [](AgentSettings& s, std::string_view v) { return Text(s.twainDsm, v); }},
    {"scan_backend",
     [](AgentSettings& s, std::string_view v) {
       return OneOf(s.scanBackend, v, {"auto", "twain", "sane"});
     }},
    {"sane_device", [](AgentSettings& s, std::string_view v) { return Text(s.saneDevice, v); }},
    {"scan_dialog",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       if (v != "true" && v != "false") return "'" + std::string(v) + "' is not true or false";
       s.scanDialog = v == "true";
       return std::nullopt;
     }},
    {"scan_source",
     [](AgentSettings& s, std::string_view v) {
       if (v.empty()) return Text(s.scanSource, v);  // the feeder when there is one
       return OneOf(s.scanSource, v, {"flatbed", "feeder"});
     }},
    {"scan_mode",
     [](AgentSettings& s, std::string_view v) {
       return OneOf(s.scanMode, v, {"color", "gray", "lineart"});
     }},
    {"scan_resolution",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       int dpi = 0;
       const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), dpi);
       if (ec != std::errc() || end != v.data() + v.size() || dpi < 1 || dpi > 19200) {
         return "'" + std::string(v) + "' is not a resolution in dots per inch (1..19200)";
       }
       s.scanResolution = dpi;
       return std::nullopt;
     }},
    {"barcode_devices",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       s.barcodeDevices = SplitList(v);
       return std::nullopt;
     }},
    {"barcode_layout",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       if (v.empty()) return "the layout must not be empty";
       return Text(s.barcodeLayout, v);
     }},
    {"barcode_idle_ms",
     [](AgentSettings& s, std::string_view v) {
       return Milliseconds(s.barcodeIdleMs, v, 1, 10000);
     }},
    {"barcode_end",
     [](AgentSettings& s, std::string_view v) {
       return OneOf(s.barcodeEnd, v, {"enter", "tab"});
     }},
    {"log_level",
     [](AgentSettings& s, std::string_view v) {
       return OneOf(s.logLevel, v, {"error", "warning", "info", "debug"});
     }},
};

// Edit distance, for naming the key a misspelt one may have meant.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Upper(std::string_view key) {
  std::string name = "DRALMIN_";
  for (char c : key) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return name;
}

// False when there is no such file, or it cannot be read (said on `problems`): then the next
// folder's file is looked for.
bool ApplyFile(AgentSettings& settings, const std::string& path, std::ostream& problems) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    // A file that is not there is the normal case; one that is there but unreadable is not.
    if (errno != ENOENT && errno != ENOTDIR) {
      problems << path << ": cannot be read: " << std::strerror(errno) << '\n';
    }
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  // A folder of that name opens, then fails to read.
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error != 0) {
    problems << path << ": cannot be read: " << std::strerror(error) << '\n';
    return false;
  }
  ApplySettingsText(settings, text, path, problems);
  return true;
}

void ApplyRegistry(AgentSettings& settings, const RegistrySettings& layer,
                   std::ostream& problems) {
  for (const RegistryValue& value : layer.values) {
    const std::string where = layer.origin + "\\" + value.name;
    if (!value.text) {
      problems << where << ": not a text or number value\n";
      continue;
    }
    const std::string_view text = Trim(*value.text);
    if (text.empty()) continue;
    // Registry names are case-insensitive: HTTP_PORT is http_port there.
    std::string key;
    for (char c : value.name) key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (auto error = ApplySetting(settings, key, text)) problems << where << ": " << *error << '\n';
  }
}

}  // namespace

std::vector<std::string_view> SettingKeys() {
  std::vector<std::string_view> names;
  for (const Key& key : kKeys) names.push_back(key.name);
  return names;
}

std::optional<std::string> ApplySetting(AgentSettings& settings, std::string_view key,
                                        std::string_view value) {
  for (const Key& known : kKeys) {
    if (known.name == key) return known.apply(settings, value);
  }
  std::string what = "unknown key '" + std::string(key) + "'";
  // Keys copied from the environment's names (DRALMIN_HTTP_PORT) are near their key too.
  std::string lowered;
  for (char c : key) lowered += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  if (lowered.starts_with("dralmin_")) lowered.erase(0, 8);
  const Key* closest = nullptr;
  size_t best = 3;  // further than two edits is no longer a likely typing slip
  for (const Key& known : kKeys) {
    if (const size_t d = Distance(lowered, known.name); d < best) {
      best = d;
      closest = &known;
    }
  }
  if (closest != nullptr) what += " (did you mean '" + std::string(closest->name) + "'?)";
  return what;
}

void ApplySettingsText(AgentSettings& settings, std::string_view text, const std::string& origin,
                       std::ostream& problems) {
  // Editors on Windows start a UTF-8 file with a byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    const std::string_view key = Trim(line.substr(0, equals));
    if (equals == std::string_view::npos || key.empty()) {
      problems << origin << ':' << number << ": not a 'key = value' line\n";
      continue;
    }
    if (auto error = ApplySetting(settings, key, Trim(line.substr(equals + 1)))) {
      problems << origin << ':' << number << ": " << *error << '\n';
    }
  }
}

AgentSettings LoadAgentSettings(const SettingsSources& sources, std::ostream& problems) {
  AgentSettings settings;
  CertBaseUrl(settings.certBaseUrl, "");
  ApplyRegistry(settings, sources.installed, problems);
  for (const std::string& folder : sources.systemFolders) {
    if (ApplyFile(settings, folder + "/" + std::string(kSettingsFile), problems)) break;
  }
  if (!sources.userFolder.empty()) {
    ApplyFile(settings, sources.userFolder + "/" + std::string(kSettingsFile), problems);
  }
  if (sources.environment) {
    for (const Key& key : kKeys) {
      const std::string name = Upper(key.name);
      const std::optional<std::string> value = sources.environment(name);
      if (!value || value->empty()) continue;
      if (auto error = key.apply(settings, Trim(*value))) {
        problems << "environment " << name << ": " << *error << '\n';
      }
    }
  }
  ApplyRegistry(settings, sources.policy, problems);
  return settings;
}

std::string UserSettingsPath(const SettingsSources& sources) {
  if (sources.userFolder.empty()) return {};
  return sources.userFolder + "/" + std::string(kSettingsFile);
}

bool StoreSetting(const std::string& path, std::string_view key, std::string_view value,
                  std::string& error) {
  std::string text;
  if (std::ifstream file(path, std::ios::binary); file) {
    std::ostringstream read;
    read << file.rdbuf();
    text = read.str();
  } else if (errno != ENOENT) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  const std::string line = std::string(key) + " = " + std::string(value);
  std::string out;
  bool replaced = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view current = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const std::string_view trimmed = Trim(current);
    const size_t equals = trimmed.find('=');
    const bool same = !trimmed.empty() && trimmed.front() != '#' &&
                      equals != std::string_view::npos && Trim(trimmed.substr(0, equals)) == key;
    if (same && replaced) continue;  // a later duplicate would override the stored value
    out += same ? line : std::string(current);
    out += '\n';
    replaced = replaced || same;
  }
  if (!replaced) out += line + '\n';

  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  switch (WriteFileWhole(path, out)) {
    case WriteFailure::kNone:
      return true;
    case WriteFailure::kReplace:
      error = path + ": cannot be replaced: " + std::strerror(errno);
      return false;
    default:
      error = path + ": cannot be written: " + std::strerror(errno);
      return false;
  }
}

namespace {

void AddMachineLayers(SettingsSources& sources) {
  // The installer is this 32-bit program's own; Group Policy writes the system's native registry.
  sources.installed = {MachineKeyName(kInstalledSettingsKey),
                       ReadMachineValues(kInstalledSettingsKey, RegistryView::kOwn)};
  sources.policy = {MachineKeyName(kPolicySettingsKey),
                    ReadMachineValues(kPolicySettingsKey, RegistryView::kNative)};
}

}  // namespace

SettingsSources SettingsSourcesFromEnvironment() {
  SettingsSources sources =
      SettingsSourcesFrom([](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      });
  AddMachineLayers(sources);
  return sources;
}

SettingsSources MachineSettingsSources() {
  SettingsSources sources = SettingsSourcesFromEnvironment();
  sources.userFolder.clear();
  sources.environment = nullptr;
  return sources;
}

SettingsSources SettingsSourcesFrom(
    std::function<std::optional<std::string>(const std::string&)> variable) {
  SettingsSources sources;
#ifdef _WIN32
  // Machine-wide settings under ProgramData; the user's in the roaming application data folder,
  // beside the label printer's file.
  if (std::string data = variable("PROGRAMDATA").value_or(""); !data.empty()) {
    sources.systemFolders.push_back(std::move(data));
  }
  sources.userFolder = variable("APPDATA").value_or("");
#else
  const std::string dirs = variable("XDG_CONFIG_DIRS").value_or("");
  // XDG_CONFIG_DIRS is colon-separated; a relative folder is to be ignored, as for every XDG
  // folder (it would depend on the current folder, which the agent changes).
  std::string_view rest = dirs.empty() ? std::string_view("/etc/xdg") : std::string_view(dirs);
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    if (const std::string_view folder = rest.substr(0, colon); folder.starts_with('/')) {
      sources.systemFolders.emplace_back(folder);
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  std::string home = variable("XDG_CONFIG_HOME").value_or("");
  if (!home.starts_with('/')) {
    home.clear();
    const std::string user = variable("HOME").value_or("");
    if (!user.empty()) home = user + "/.config";
  }
  sources.userFolder = home;
#endif
  sources.environment = std::move(variable);
  return sources;
}

}  // namespace dralmin
