#include "devices/barcode/CEventSink.h"

#include "devices/barcode/PendingBarcode.h"
#include "devices/barcode/ScanData.h"

namespace dralmin {

void CEventSink::OnScanData(int16_t /*eventType*/, const std::string& scanData) {
  const std::optional<std::string> label = ExtractDataLabel(scanData);
  if (!label || label->size() < 2) return;
  barcode_.PutBarcode(DecodeHexLabel(*label));
}

void CEventSink::OnScanCmdResponse(int16_t /*status*/, const std::string& /*response*/) {}

}  // namespace dralmin
