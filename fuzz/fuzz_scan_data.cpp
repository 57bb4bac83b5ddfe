// The barcode scanner driver's scan-data XML and the hexadecimal label inside it, through to the
// "/barcode" reply that hands the code to a page.
#include <string>

#include "devices/barcode/CEventSink.h"
#include "devices/barcode/PendingBarcode.h"
#include "devices/barcode/ScanData.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  const std::string_view text = AsText(data, size);
  if (const std::optional<std::string> label = dralmin::ExtractDataLabel(text)) {
    Require(label->size() <= text.size(), "the label is part of the scan data");
    dralmin::DecodeHexLabel(*label);
  }
  dralmin::DecodeHexLabel(text);

  dralmin::PendingBarcode pending;
  dralmin::CEventSink(pending).OnScanData(1, std::string(text));
  const std::string reply = pending.GetBarcode();
  if (!reply.empty()) {
    constexpr std::string_view kHead = "DralminBarcode__callback({code:'";
    Require(reply.starts_with(kHead) && reply.ends_with("'})"), "the barcode form");
    Require(IsSafeJsStringBody(
                std::string_view(reply).substr(kHead.size(), reply.size() - kHead.size() - 3)),
            "the code cannot leave its string");
  }

  // Whatever bytes the scanner read come back unchanged from the driver's writing of them.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string written = "<scandata><datalabel>";
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) written += ' ';
    written += "0x";
    written += kHex[data[i] >> 4];
    written += kHex[data[i] & 15];
  }
  written += "</datalabel></scandata>";
  if (size > 0) {
    const std::optional<std::string> label = dralmin::ExtractDataLabel(written);
    Require(label.has_value(), "a written label is found");
    Require(dralmin::DecodeHexLabel(*label) == text, "a written label decodes to its bytes");
  }
  return 0;
}
