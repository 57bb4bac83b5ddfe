#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "devices/scanning/ScanQueue.h"
#include "devices/scanning/ScannerListing.h"
#include "gateway/GatewayStartup.h"
#include "gateway/PortsReport.h"
#include "gateway/StatusPage.h"
#include "settings/AgentSettings.h"

namespace dralmin {

// Where the facts of the status page come from; tests give fakes of each.
struct AgentStatusSources {
  const AgentSettings& settings;
  std::chrono::steady_clock::time_point started;
  const HttpsStatus* https = nullptr;              // null: no HTTPS port is tried
  std::function<bool(const std::string&)> exists;  // whether a file or device exists
  std::function<std::vector<StatusRow>()> devices;
  std::function<std::vector<std::string>()> logLines;
  std::function<std::time_t()> now;  // wall-clock time, for the certificate's expiry
  std::string iconPng;
  const ScannerListing* scanners = nullptr;  // null: no scanning backend is watched
  const PortsReport* ports = nullptr;        // null: who holds the ports is not told
  const ScanQueue* scanQueue = nullptr;      // null: no scanned pages are kept
};

// What is likely to fail before it does: a serial port list that names no existing device, a
// fingerprint SDK path that does not exist, a certificate that expires within two weeks, a scan
// backend whose last listing found no scanner, a scan queue folder that cannot be used or damaged
// pages set aside.
std::vector<std::string> AgentWarnings(const AgentStatusSources& sources);

// The agent's part of the page (the router adds its requests and refusals).
StatusReport CollectAgentStatus(const AgentStatusSources& sources,
                                std::chrono::steady_clock::time_point now);

// The document scanner's rows of the devices section: the backend in use (the one the settings
// ask for until the session is made) and the scanners it last listed.
std::array<StatusRow, 2> DocumentScannerRows(const AgentSettings& settings,
                                             const ScannerListing::State& listing);

// A moment as the page shows it: local time to the second.
std::string LocalTime(std::chrono::system_clock::time_point when);

// The agent's own addresses, which a reload of the page names as its Referer.
std::vector<std::string> AgentSelfOrigins(const AgentSettings& settings);

}  // namespace dralmin
