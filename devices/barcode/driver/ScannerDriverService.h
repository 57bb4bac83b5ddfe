#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <string>

namespace dralmin {

// The driver's object on the session bus, as the agent uses it (org.dralmin.ScannerDriver.xml,
// served through its adaptor): the agent opens the scanners, subscribes to scan events and then
// receives one ScanDataEvent per scanned code.
class ScannerDriverService : public QObject {
  Q_OBJECT

 public:
  static constexpr int kSubscribeEvents = 1001;
  static constexpr int kStatusOk = 0;
  static constexpr int kStatusNotSupported = 1;

  using QObject::QObject;

  // Sends one ScanDataEvent carrying `code`.
  void Scan(const std::string& code, int scannerId);

 public Q_SLOTS:
  int OpenScanners(int reserved, const QList<short>& scannerTypes, int count);
  QString RunCommand(int opcode, const QString& inXml, int& status);

 Q_SIGNALS:
  void ScanDataEvent(short eventType, const QString& scanData);
  void ScanCmdResponseEvent(short status, const QString& response);
};

}  // namespace dralmin
