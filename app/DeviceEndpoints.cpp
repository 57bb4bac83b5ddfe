#include "app/DeviceEndpoints.h"

#include <chrono>
#include <ctime>

#include "app/AgentStatus.h"
#include "devices/barcode/PendingBarcode.h"
#include "devices/scanning/ScanQueue.h"
#include "support/dralmin.h"

namespace dralmin {
namespace {

std::string Now() {
  return LocalTime(std::chrono::system_clock::now());
}

// A weight reply of value 0 is how every failure reaches the page; the log says why.
std::string WeightOutcome(const std::string& reply) {
  return reply.find("{value: 0}") != std::string::npos ? "no weight (0, see the log)" : "a weight";
}

std::string Last(const std::string& when, const std::string& outcome) {
  return when.empty() ? "never" : when + ": " + outcome;
}

}  // namespace

void DeviceEndpoints::Note(LastCall& call, std::string outcome) {
  call.when = Now();
  call.outcome = std::move(outcome);
}

std::string DeviceEndpoints::FingerprintEndpoint(const std::string& id) {
  std::string reply = fingerprint_.Handle(id);
  Note(fingerprintCall_, "answered");
  return reply;
}

std::string DeviceEndpoints::GetBarcode() {
  std::string reply = barcode_.GetBarcode();
  if (!reply.empty()) Note(barcodeCall_, "a code was handed over");
  return reply;
}

void DeviceEndpoints::StartScan(const std::string& scanKey) {
  scan_.StartScan(scanKey);
  Note(scanCall_, "started");
}

std::string DeviceEndpoints::GetScan(const std::string& rest) {
  return scan_.GetScan(rest);
}

std::string DeviceEndpoints::PrintForm(const Request& request) {
  std::string reply = print_.PrintForm(request);
  Note(printCall_, "answered (see the log for a failure)");
  return reply;
}

std::string DeviceEndpoints::GetWeight() {
  std::string reply = weight_->GetWeight();
  Note(weightCall_, WeightOutcome(reply));
  if (scaleFound_.empty() && weight_->HasScale()) scaleFound_ = weightCall_.when;
  return reply;
}

std::string DeviceEndpoints::GetIpWeight(const std::string& address) {
  std::string reply = weight_->GetIpWeight(address);
  Note(ipWeightCall_, WeightOutcome(reply));
  return reply;
}

void DeviceEndpoints::NoteScannerDriver(bool connected, bool watched) {
  const std::lock_guard lock(driverMutex_);
  Note(scannerDriver_, connected  ? "connected"
                       : watched  ? "not there; barcodes come once it starts"
                                  : "not there; barcodes come once the agent starts again with it");
}

std::vector<StatusRow> DeviceEndpoints::StatusRows() const {
  std::string ports;
  for (const std::string& port : ScaleCandidatePorts(settings_.serialPorts)) {
    ports += (ports.empty() ? "" : ", ") + port;
  }
  const std::string scalePort = weight_->ScalePort();
  LastCall driver;
  {
    const std::lock_guard lock(driverMutex_);
    driver = scannerDriver_;
  }
  // The support library's own settings; the address text lasts until this thread calls it again.
  PrinterSettings printer{};
  dralmin_GetSettings(&printer);
  const std::string printerAddress = printer.printerAddress && *printer.printerAddress
                                         ? printer.printerAddress
                                         : "the local default printer";
  auto [scanBackend, scanners] = DocumentScannerRows(settings_, scanners_.Get());
  return {
      {"scale", scalePort.empty() ? "not found yet" : "found on " + scalePort,
       (scaleFound_.empty() ? std::string() : "at " + scaleFound_ + "; ") + "searched: " + ports},
      {"scale: last weighing", Last(weightCall_.when, weightCall_.outcome), {}},
      {"networked scale: last fetch", Last(ipWeightCall_.when, ipWeightCall_.outcome), {}},
      {"barcode: scanner driver", driver.when.empty() ? "not tried yet" : driver.outcome,
       driver.when.empty() ? std::string() : "since " + driver.when},
      {"barcode: last code", Last(barcodeCall_.when, barcodeCall_.outcome), {}},
      {"fingerprint SDK", settings_.fingerprintSdk + ": " + sdkState_,
       "last request: " + Last(fingerprintCall_.when, fingerprintCall_.outcome)},
      std::move(scanBackend),
      std::move(scanners),
      {"document scanner: last scan", Last(scanCall_.when, scanCall_.outcome), {}},
      {"document scanner: queued pages", std::to_string(scanQueue_.Size()), {}},
      {"label printer", printerAddress, "code page " + std::to_string(printer.codePage)},
      {"label printer: last print", Last(printCall_.when, printCall_.outcome), {}},
  };
}

}  // namespace dralmin
