#pragma once

#include "devices/barcode/ScannerDriver.h"

namespace dralmin {

class PendingBarcode;

// Receives the driver's events: each scan's code becomes the pending barcode.
class CEventSink final : public ScannerDriverEvents {
 public:
  explicit CEventSink(PendingBarcode& barcode) : barcode_(barcode) {}

  // Scan data without a <datalabel>, or with a label shorter than two characters, carries no
  // code: it is ignored and the pending code stays as it was.
  void OnScanData(int16_t eventType, const std::string& scanData) override;
  void OnScanCmdResponse(int16_t status, const std::string& response) override;

 private:
  PendingBarcode& barcode_;
};

}  // namespace dralmin
