#include "app/AgentStatus.h"

#include "DralminVersion.h"
#include "platform/PeerOwner.h"
#include "settings/SettingsText.h"

namespace dralmin {
namespace {

std::string Date(std::time_t time) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &time);
#else
  gmtime_r(&time, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
  return text;
}

// A library named without a folder is searched by the system's loader, so only a path can be
// checked for existence.
bool IsPath(const std::string& name) {
  return name.find('/') != std::string::npos || name.find('\\') != std::string::npos;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// Who holds a port and where, as its row shows it. Other users' registrations are shown only
// to root: a user sees no more of the others than that the ports are shared.
StatusRow PortRow(const std::string& name, const std::string& address, std::uint16_t port,
                  const PortsView& view, bool secure) {
  const std::string configured = address + ":" + std::to_string(port);
  switch (view.holder) {
    case PortsView::Holder::kThisAgent: {
      const auto& held = secure ? view.secure : view.plain;
      if (held.empty()) return {name, configured, "not held"};
      std::string detail = "held by this agent";
      if (!view.registered.empty() && CurrentLocalUser() == 0) {
        detail += "; registered agents:";
        for (const auto& r : view.registered) {
          detail +=
              " user " + std::to_string(r.user) + " (process " + std::to_string(r.process) + ")";
        }
      }
      return {name, Joined(held), detail};
    }
    case PortsView::Holder::kBroker:
      return {name, configured, "held by the port broker, which passes this user's connections on"};
    case PortsView::Holder::kOtherAgent:
      return {name, configured,
              "held by the agent of user " + std::to_string(view.holderUser) +
                  ", which passes this user's connections on"};
    case PortsView::Holder::kNone:
      break;
  }
  return {name, configured, "not held: waiting for the ports"};
}

StatusSection Listeners(const AgentStatusSources& sources) {
  const AgentSettings& s = sources.settings;
  StatusSection section{"listeners", "Порты", "Listeners", {}};
  PortsView view;
  if (sources.ports != nullptr) {
    view = sources.ports->Get();
  } else {
    view.holder = PortsView::Holder::kThisAgent;
    view.plain = {s.listenAddress + ":" + std::to_string(s.httpPort)};
    view.secure = {s.listenAddress + ":" + std::to_string(s.httpsPort)};
  }
  section.rows.push_back(PortRow("http", s.listenAddress, s.httpPort, view, false));
  if (sources.https == nullptr) return section;
  const HttpsStatus::State https = sources.https->Get();
  std::string detail = https.text;
  if (!https.version.empty()) {
    detail += "; certificate " + https.version;
    if (!https.subject.empty()) detail += ", " + https.subject;
    if (https.expires != 0) detail += ", expires " + Date(https.expires);
  }
  StatusRow row = PortRow("https", s.listenAddress, s.httpsPort, view, true);
  row.detail = detail + "; " + row.detail;
  section.rows.push_back(std::move(row));
  return section;
}

StatusSection Settings(const AgentSettings& settings) {
  StatusSection section{"settings", "Настройки", "Settings", {}};
  for (std::string_view key : SettingKeys()) {
    section.rows.push_back(
        {std::string(key), SettingValue(settings, key), Describe(settings.origins.Of(key))});
  }
  return section;
}

StatusSection Origins(const AgentSettings& settings) {
  StatusSection section{"origins", "Разрешённые страницы", "Allowed origins", {}};
  if (!settings.allowedOrigins) {
    section.rows.push_back({"*", "every page may use the devices", {}});
    return section;
  }
  for (const std::string& origin : *settings.allowedOrigins)
    section.rows.push_back({origin, {}, {}});
  if (settings.allowedOrigins->empty()) section.rows.push_back({"(none)", "no page may", {}});
  return section;
}

}  // namespace

std::vector<std::string> AgentWarnings(const AgentStatusSources& sources) {
  const AgentSettings& s = sources.settings;
  std::vector<std::string> warnings;
  if (const std::vector<std::string> ports = SplitList(s.serialPorts); !ports.empty()) {
    bool any = false;
    for (const std::string& port : ports) any = any || sources.exists(port);
    if (!any) {
      warnings.push_back("serial_ports names no existing device (" + s.serialPorts +
                         "): the scale cannot be found");
    }
  }
  if (IsPath(s.fingerprintSdk) && !sources.exists(s.fingerprintSdk)) {
    warnings.push_back("the fingerprint SDK " + s.fingerprintSdk + " does not exist");
  }
  if (sources.https != nullptr) {
    const HttpsStatus::State https = sources.https->Get();
    if (https.expires != 0 &&
        https.expires <= sources.now() + kCertificateWarningDays * 24 * 60 * 60) {
      warnings.push_back("the HTTPS certificate " + https.version + " expires " +
                         Date(https.expires));
    }
  }
  if (sources.scanners != nullptr) {
    const ScannerListing::State listing = sources.scanners->Get();
    if (listing.scanners && listing.scanners->empty()) {
      warnings.push_back(ScannerListing::NoScannerWarning(listing.backend));
    }
  }
  if (sources.scanQueue != nullptr) {
    for (std::string& warning : sources.scanQueue->Warnings())
      warnings.push_back(std::move(warning));
  }
  return warnings;
}

StatusReport CollectAgentStatus(const AgentStatusSources& sources,
                                std::chrono::steady_clock::time_point now) {
  StatusReport report;
  report.version = DRALMIN_VERSION;
#ifdef _WIN32
  report.platform = "Windows";
#else
  report.platform = "Linux";
#endif
  report.uptime = std::chrono::duration_cast<std::chrono::seconds>(now - sources.started);
  report.warnings = AgentWarnings(sources);
  report.sections.push_back(Listeners(sources));
  report.sections.push_back(Settings(sources.settings));
  report.sections.push_back(Origins(sources.settings));
  StatusSection devices{"devices", "Устройства", "Devices", {}};
  if (sources.devices) devices.rows = sources.devices();
  report.sections.push_back(std::move(devices));
  if (sources.logLines) report.logLines = sources.logLines();
  report.iconPng = sources.iconPng;
  return report;
}

std::array<StatusRow, 2> DocumentScannerRows(const AgentSettings& settings,
                                             const ScannerListing::State& listing) {
  std::string backend = listing.backend;
  if (backend.empty()) {
    backend = settings.scanBackend == ScanBackend::Twain  ? "TWAIN"
              : settings.scanBackend == ScanBackend::Sane ? "SANE"
                                                          : "TWAIN or SANE";
    backend += ", as the settings ask (the session starts at the first scan)";
  }
  std::string scanners;
  std::string detail;
  if (!listing.scanners) {
    scanners = "not listed yet (they are at the first scan or scanner choice)";
  } else {
    for (const std::string& name : *listing.scanners) {
      scanners += (scanners.empty() ? "" : ", ") + name;
    }
    if (scanners.empty()) scanners = "none";
    detail = "listed " + LocalTime(listing.listed);
  }
  return {StatusRow{"document scanner: backend", std::move(backend),
                    settings.saneDevice.empty() ? std::string() : "device " + settings.saneDevice},
          StatusRow{"document scanner: scanners", std::move(scanners), std::move(detail)}};
}

std::string LocalTime(std::chrono::system_clock::time_point when) {
  const std::time_t time = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &time);
#else
  localtime_r(&time, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::vector<std::string> AgentSelfOrigins(const AgentSettings& settings) {
  std::vector<std::string> origins;
  for (const char* host : {"127.0.0.1", "localhost", "[::1]"}) {
    origins.push_back("http://" + std::string(host) + ":" + std::to_string(settings.httpPort));
    origins.push_back("https://" + std::string(host) + ":" + std::to_string(settings.httpsPort));
  }
  return origins;
}

}  // namespace dralmin
