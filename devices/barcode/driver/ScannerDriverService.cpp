#include "devices/barcode/driver/ScannerDriverService.h"

#include "devices/barcode/driver/ScanDataXml.h"
#include "platform/Log.h"

namespace dralmin {
namespace {

constexpr short kBarcodeEvent = 1;

}  // namespace

void ScannerDriverService::Scan(const std::string& code, int scannerId) {
  // The text is ASCII: every byte of the code is written as hexadecimal digits.
  Q_EMIT ScanDataEvent(kBarcodeEvent, QString::fromLatin1(ScanDataXml(code, scannerId)));
}

int ScannerDriverService::OpenScanners(int /*reserved*/, const QList<short>& /*scannerTypes*/,
                                       int /*count*/) {
  // The scanners are the configured devices, read from the start; there is nothing to open.
  return kStatusOk;
}

QString ScannerDriverService::RunCommand(int opcode, const QString& /*inXml*/, int& status) {
  if (opcode == kSubscribeEvents) {
    // Scan events are bus signals, which reach every connection that listens for them: a
    // subscription needs no bookkeeping here.
    status = kStatusOk;
  } else {
    LogWarning("barcode", "command " + std::to_string(opcode) + " is not supported");
    status = kStatusNotSupported;
  }
  return QStringLiteral("<outArgs></outArgs>");
}

}  // namespace dralmin
