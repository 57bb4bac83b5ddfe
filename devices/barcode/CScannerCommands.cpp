#include "devices/barcode/CScannerCommands.h"

namespace dralmin {

CScannerCommands::CScannerCommands(const ScannerDriverFactory& createDriver,
                                   PendingBarcode& barcode) {
  ConnectDriver(createDriver, barcode);
}

CScannerCommands::~CScannerCommands() {
  DisconnectDriver();
}

void CScannerCommands::ConnectDriver(const ScannerDriverFactory& createDriver,
                                     PendingBarcode& barcode) {
  if (createDriver) driver_ = createDriver();
  driverAvailable_ = driver_ != nullptr;
  if (!driverAvailable_) return;
  eventSink_ = std::make_unique<CEventSink>(barcode);
  // A sink that cannot be connected only means no events; the agent goes on without them.
  advised_ = driver_->Advise(*eventSink_);
}

void CScannerCommands::DisconnectDriver() noexcept {
  if (!driver_) return;
  // The driver is outside the agent: whatever it throws while we let go of it is not ours to
  // report, and the agent must be able to end.
  try {
    if (advised_ && eventSink_) driver_->Unadvise();
  } catch (...) {
  }
  advised_ = false;
  eventSink_.reset();
  driver_.reset();
}

void CScannerCommands::OpenScanners(const std::vector<int16_t>& scannerTypes, int32_t& status) {
  if (!driver_) return;
  std::vector<int16_t> slots(kScannerTypeSlots, 0);
  for (std::size_t i = 0; i < slots.size() && i < scannerTypes.size(); ++i) {
    slots[i] = scannerTypes[i];
  }
  driver_->OpenScanners(0, slots, 1, status);
}

std::string CScannerCommands::SubscribeEventsXml(int count, const std::string& list) {
  return "<inArgs><cmdArgs><arg-int>" + std::to_string(count) + "</arg-int><arg-int>" + list +
         "</arg-int></cmdArgs></inArgs>";
}

int32_t CScannerCommands::SubscribeEvents(int count, const std::string& list, int32_t& status) {
  if (!driver_) return kNoDriver;
  std::string outXml;  // the driver's answer carries nothing the agent needs
  return driver_->RunCommand(kSubscribeEventsOpcode, SubscribeEventsXml(count, list), outXml,
                             status);
}

}  // namespace dralmin
