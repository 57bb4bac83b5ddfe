#include "simulators/barcode/SimulatedScannerDriver.h"

#include <cstdio>

namespace dralmin {
namespace {

constexpr short kBarcodeEvent = 1;
constexpr int kStatusOk = 0;

void Report(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

}  // namespace

QString SimulatedScannerDriver::ScanDataXml(const QByteArray& code) {
  QString label;
  for (const char byte : code) {
    if (!label.isEmpty()) label += QLatin1Char(' ');
    label += QString::asprintf("0x%02X", static_cast<unsigned>(static_cast<unsigned char>(byte)));
  }
  return QStringLiteral(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?><outArgs><scannerID>1</scannerID>"
             "<arg-xml><scandata><modelnumber>SIMULATED-1</modelnumber>"
             "<serialnumber>0001</serialnumber><datatype>8</datatype><datalabel>%1</datalabel>"
             "</scandata></arg-xml></outArgs>")
      .arg(label);
}

void SimulatedScannerDriver::Scan(const QByteArray& code) {
  Q_EMIT ScanDataEvent(kBarcodeEvent, ScanDataXml(code));
}

int SimulatedScannerDriver::OpenScanners(int reserved, const QList<short>& scannerTypes,
                                         int count) {
  QStringList types;
  for (const short type : scannerTypes) types << QString::number(type);
  Report(QStringLiteral("OpenScanners %1 [%2] %3").arg(reserved).arg(types.join(',')).arg(count));
  return kStatusOk;
}

QString SimulatedScannerDriver::RunCommand(int opcode, const QString& inXml, int& status) {
  Report(QStringLiteral("RunCommand %1 %2").arg(opcode).arg(inXml));
  status = kStatusOk;
  return QStringLiteral("<outArgs></outArgs>");
}

}  // namespace dralmin
