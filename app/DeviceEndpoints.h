#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "devices/fingerprint/FingerprintEndpoint.h"
#include "devices/fingerprint/SdkLibrary.h"
#include "devices/printing/PrintEndpoint.h"
#include "devices/scale/WeightEndpoint.h"
#include "devices/scanning/ScanEndpoint.h"
#include "gateway/Endpoints.h"
#include "gateway/StatusPage.h"
#include "platform/HttpClient.h"
#include "settings/AgentSettings.h"

namespace dralmin {

class MessageBox;
class PendingBarcode;
class ScanQueue;
class ScannerListing;

// The agent's endpoints: each route of the router reaches its device here.
class DeviceEndpoints final : public Endpoints {
 public:
  // `sessions` gives the scanning session, whose pages the user-interface thread puts into
  // `scanQueue`, and whose listings of scanners reach `scanners`; `messages` tells the user what
  // went wrong on the scanning path. Once `stopping` is true, transfers in progress are
  // cancelled so that the gateway can stop.
  DeviceEndpoints(const AgentSettings& settings, PendingBarcode& barcode,
                  ScanSessionProvider& sessions, ScanQueue& scanQueue,
                  const ScannerListing& scanners, MessageBox& messages,
                  const std::atomic<bool>& stopping)
      : settings_(settings),
        barcode_(barcode),
        scanQueue_(scanQueue),
        scanners_(scanners),
        fingerprint_(LibrarySdkLoader(settings.fingerprintSdk,
                                      [this](const std::string& failure) {
                                        sdkState_ =
                                            failure.empty() ? "loaded" : "not loaded: " + failure;
                                      }),
                     MonotonicSeconds),
        weight_(WeightEndpoint::ForSerialPorts(settings.serialPorts, &stopping)),
        uploads_(&stopping),
        scan_(sessions, scanQueue, uploads_, messages) {}

  std::string FingerprintEndpoint(const std::string& id) override;
  std::string GetBarcode() override;
  void StartScan(const std::string& scanKey) override;
  std::string GetScan(const std::string& rest) override;
  std::string PrintForm(const Request& request) override;
  std::string GetWeight() override;
  std::string GetIpWeight(const std::string& address) override;

  // What each device was found to be and when it last answered, for the status page. What a
  // page sent or received (codes, templates, answers) is never among them. Poll thread only.
  std::vector<StatusRow> StatusRows() const;

  // Whether the barcode scanner driver was there at the last connection to it, and whether one
  // that starts later is taken without a restart. Any thread.
  void NoteScannerDriver(bool connected, bool watched);

 private:
  // When an endpoint last answered, and how.
  struct LastCall {
    std::string when;  // empty: never
    std::string outcome;
  };
  static void Note(LastCall& call, std::string outcome);

  const AgentSettings& settings_;
  PendingBarcode& barcode_;
  ScanQueue& scanQueue_;
  const ScannerListing& scanners_;
  LastCall weightCall_, ipWeightCall_, barcodeCall_, fingerprintCall_, printCall_, scanCall_;
  std::string scaleFound_;  // when the scale was first found
  std::string sdkState_ = "not loaded yet (it is on the first fingerprint request)";
  mutable std::mutex driverMutex_;
  LastCall scannerDriver_;  // the user-interface thread writes it
  // The SDK library is loaded on the first fingerprint request, not here.
  ::dralmin::FingerprintEndpoint fingerprint_;
  // The scale reader is created by the first "/weight" request, not here.
  std::unique_ptr<WeightEndpoint> weight_;
  PrintEndpoint print_;
  CurlHttpClient uploads_;
  ScanEndpoint scan_;
};

}  // namespace dralmin
