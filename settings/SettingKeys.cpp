// The key table: each key's parser, which checks the value and stores it in its own type.
#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <charconv>

#include "replies/OriginPolicy.h"
#include "settings/AgentSettings.h"
#include "settings/SettingsText.h"

namespace dralmin {
namespace {

using Apply = std::optional<std::string> (*)(AgentSettings&, std::string_view);

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

// A whole number in low..high; `what` names the unit in the message.
std::optional<std::string> Number(int& field, std::string_view value, int low, int high,
                                  std::string_view what) {
  int number = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (ec != std::errc() || end != value.data() + value.size() || number < low || number > high) {
    return "'" + std::string(value) + "' is not " + std::string(what) + " (" + std::to_string(low) +
           ".." + std::to_string(high) + ")";
  }
  field = number;
  return std::nullopt;
}

// One of the words of `names`; the field takes the word's place as its value. Empty names are
// handled by the caller and not offered.
template <typename Enum, size_t N>
std::optional<std::string> OneOf(Enum& field, std::string_view value,
                                 const std::array<std::string_view, N>& names) {
  const auto found = std::find(names.begin(), names.end(), value);
  if (value.empty() || found == names.end()) {
    std::string list;
    for (std::string_view name : names) {
      if (!name.empty()) list += (list.empty() ? "" : ", ") + std::string(name);
    }
    return "'" + std::string(value) + "' is not one of " + list;
  }
  field = static_cast<Enum>(found - names.begin());
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
    field = DefaultCertBaseUrl();
    return std::nullopt;
  }
  if (!value.starts_with("http://") && !value.starts_with("https://")) {
    return "'" + std::string(value) + "' is not an http:// or https:// address";
  }
  field = std::string(value);
  if (!field.ends_with('/')) field += '/';
  return std::nullopt;
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
  bool appliesInPart = false;  // a value with an error may still have changed the setting
};

// One row a key; the order is the shipped file's.
const Key kKeys[] = {
    {"http_port", [](AgentSettings& s, std::string_view v) { return Port(s.httpPort, v); }},
    {"https_port", [](AgentSettings& s, std::string_view v) { return Port(s.httpsPort, v); }},
    {"listen_address",
     [](AgentSettings& s, std::string_view v) { return Address(s.listenAddress, v); }},
    {"shared_ports",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       if (v != "true" && v != "false") return "'" + std::string(v) + "' is not true or false";
       s.sharedPorts = v == "true";
       return std::nullopt;
     }},
    {"port_broker", [](AgentSettings& s, std::string_view v) { return Text(s.portBroker, v); }},
    {"allowed_origins",
     [](AgentSettings& s, std::string_view v) { return Origins(s.allowedOrigins, v); }, true},
    {"cert_base_url",
     [](AgentSettings& s, std::string_view v) { return CertBaseUrl(s.certBaseUrl, v); }},
    {"serial_ports", [](AgentSettings& s, std::string_view v) { return Text(s.serialPorts, v); }},
    {"fingerprint_sdk",
     [](AgentSettings& s, std::string_view v) { return Text(s.fingerprintSdk, v); }},
    {"twain_dsm", [](AgentSettings& s, std::string_view v) { return Text(s.twainDsm, v); }},
    {"scan_backend", [](AgentSettings& s,
                        std::string_view v) { return OneOf(s.scanBackend, v, kScanBackendNames); }},
    {"sane_device", [](AgentSettings& s, std::string_view v) { return Text(s.saneDevice, v); }},
    {"scan_dialog",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       if (v != "true" && v != "false") return "'" + std::string(v) + "' is not true or false";
       s.scanDialog = v == "true";
       return std::nullopt;
     }},
    {"scan_source",
     [](AgentSettings& s, std::string_view v) -> std::optional<std::string> {
       if (!v.empty()) return OneOf(s.scanSource, v, kScanSourceNames);
       s.scanSource = ScanSource::Any;
       return std::nullopt;
     }},
    {"scan_mode",
     [](AgentSettings& s, std::string_view v) { return OneOf(s.scanMode, v, kScanModeNames); }},
    {"scan_resolution",
     [](AgentSettings& s, std::string_view v) {
       return Number(s.scanResolution, v, 1, 19200, "a resolution in dots per inch");
     }},
    {"scan_keep_hours",
     [](AgentSettings& s, std::string_view v) {
       return Number(s.scanKeepHours, v, 1, 24 * 365, "a number of hours");
     }},
    {"scan_queue_mb",
     [](AgentSettings& s, std::string_view v) {
       return Number(s.scanQueueMb, v, 1, 1024 * 1024, "a number of megabytes");
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
       return Number(s.barcodeIdleMs, v, 1, 10000, "a number of milliseconds");
     }},
    {"barcode_end",
     [](AgentSettings& s, std::string_view v) { return OneOf(s.barcodeEnd, v, kBarcodeEndNames); }},
    {"log_level",
     [](AgentSettings& s, std::string_view v) { return OneOf(s.logLevel, v, kLogLevelNames); }},
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

std::string UnknownKey(std::string_view key) {
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

}  // namespace

std::string DefaultCertBaseUrl() {
  return DRALMIN_DEFAULT_CERT_BASE_URL;
}

std::vector<std::string_view> SettingKeys() {
  std::vector<std::string_view> names;
  for (const Key& key : kKeys) names.push_back(key.name);
  return names;
}

std::optional<std::string> ApplySetting(AgentSettings& settings, std::string_view key,
                                        std::string_view value, const SettingOrigin& origin) {
  for (const Key& known : kKeys) {
    if (known.name != key) continue;
    std::optional<std::string> error = known.apply(settings, value);
    if (!error || known.appliesInPart) settings.origins.byKey[std::string(key)] = origin;
    return error;
  }
  return UnknownKey(key);
}

std::string Describe(const SettingOrigin& origin) {
  switch (origin.kind) {
    case SettingOrigin::Kind::Default:
      return "default";
    case SettingOrigin::Kind::Environment:
      return "environment " + origin.where;
    case SettingOrigin::Kind::Installer:
    case SettingOrigin::Kind::Policy:
      return origin.where;
    default:
      return origin.where + ":" + std::to_string(origin.line);
  }
}

std::string SettingValue(const AgentSettings& s, std::string_view key) {
  const auto list = [](const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
  };
  const auto word = [](const auto& names, auto value) {
    return std::string(names[static_cast<size_t>(value)]);
  };
  if (key == "http_port") return std::to_string(s.httpPort);
  if (key == "https_port") return std::to_string(s.httpsPort);
  if (key == "listen_address") return s.listenAddress;
  if (key == "shared_ports") return s.sharedPorts ? "true" : "false";
  if (key == "port_broker") return s.portBroker;
  if (key == "allowed_origins") return s.allowedOrigins ? list(*s.allowedOrigins) : std::string();
  if (key == "cert_base_url") return s.certBaseUrl;
  if (key == "serial_ports") return s.serialPorts;
  if (key == "fingerprint_sdk") return s.fingerprintSdk;
  if (key == "twain_dsm") return s.twainDsm;
  if (key == "scan_backend") return word(kScanBackendNames, s.scanBackend);
  if (key == "sane_device") return s.saneDevice;
  if (key == "scan_dialog") return s.scanDialog ? "true" : "false";
  if (key == "scan_source") return word(kScanSourceNames, s.scanSource);
  if (key == "scan_mode") return word(kScanModeNames, s.scanMode);
  if (key == "scan_resolution") return std::to_string(s.scanResolution);
  if (key == "scan_keep_hours") return std::to_string(s.scanKeepHours);
  if (key == "scan_queue_mb") return std::to_string(s.scanQueueMb);
  if (key == "barcode_devices") return list(s.barcodeDevices);
  if (key == "barcode_layout") return s.barcodeLayout;
  if (key == "barcode_idle_ms") return std::to_string(s.barcodeIdleMs);
  if (key == "barcode_end") return word(kBarcodeEndNames, s.barcodeEnd);
  if (key == "log_level") return word(kLogLevelNames, s.logLevel);
  return {};
}

SettingOrigin SettingOrigins::Of(std::string_view key) const {
  const auto found = byKey.find(key);
  return found == byKey.end() ? SettingOrigin{} : found->second;
}

}  // namespace dralmin
