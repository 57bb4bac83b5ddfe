#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include "devices/barcode/ScannerDriverBus.h"

namespace dralmin {

// A stand-in for the barcode scanner driver on the session bus. Every call it receives is written
// to standard output as one line, so tests and people can see what the agent asked for.
class SimulatedScannerDriver : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Sends one ScanDataEvent carrying `code`, as the driver writes it for its scanner 1.
  void Scan(const QByteArray& code);

 public Q_SLOTS:
  int OpenScanners(int reserved, const QList<short>& scannerTypes, int count);
  QString RunCommand(int opcode, const QString& inXml, int& status);

 Q_SIGNALS:
  void ScanDataEvent(short eventType, const QString& scanData);
  void ScanCmdResponseEvent(short status, const QString& response);
};

}  // namespace dralmin
