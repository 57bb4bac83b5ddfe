#include "simulators/barcode/SimulatedScannerDriver.h"

#include <cstdio>

#include "devices/barcode/driver/ScanDataXml.h"

namespace dralmin {
namespace {

constexpr short kBarcodeEvent = 1;
constexpr int kStatusOk = 0;

void Report(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

}  // namespace

void SimulatedScannerDriver::Scan(const QByteArray& code) {
  Q_EMIT ScanDataEvent(kBarcodeEvent, QString::fromLatin1(ScanDataXml(
                                          std::string_view(code.constData(), code.size()), 1)));
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
