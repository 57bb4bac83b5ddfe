#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/barcode/CEventSink.h"
#include "devices/barcode/ScannerDriver.h"

namespace dralmin {

class PendingBarcode;

// The agent's connection to the barcode scanner driver, for the agent's whole life. Construction
// creates the driver object and subscribes the event sink; there is no reconnection, so a driver
// that is missing at start leaves the agent without barcodes until it is restarted.
class CScannerCommands {
 public:
  static constexpr int32_t kSubscribeEventsOpcode = 1001;
  static constexpr std::size_t kScannerTypeSlots = 8;
  static constexpr int32_t kNoDriver = 1;

  CScannerCommands(const ScannerDriverFactory& createDriver, PendingBarcode& barcode);
  ~CScannerCommands();
  CScannerCommands(const CScannerCommands&) = delete;
  CScannerCommands& operator=(const CScannerCommands&) = delete;

  bool IsDriverAvailable() const { return driverAvailable_; }

  // Opens the scanners of the given types: the first eight entries are sent, padded with 0,
  // with a count of 1. Does nothing without a driver.
  void OpenScanners(const std::vector<int16_t>& scannerTypes, int32_t& status);

  // Subscribes to the event groups in `list` (command 1001). The driver's result, or kNoDriver.
  int32_t SubscribeEvents(int count, const std::string& list, int32_t& status);

  // The input of SubscribeEvents.
  static std::string SubscribeEventsXml(int count, const std::string& list);

 private:
  void ConnectDriver(const ScannerDriverFactory& createDriver, PendingBarcode& barcode);
  void DisconnectDriver() noexcept;

  bool advised_ = false;
  std::unique_ptr<CEventSink> eventSink_;
  std::unique_ptr<ScannerDriver> driver_;
  bool driverAvailable_ = false;
};

}  // namespace dralmin
