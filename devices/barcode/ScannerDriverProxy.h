#pragma once

#include <QDBusAbstractInterface>
#include <QString>

#include "devices/barcode/ScannerDriverBus.h"

namespace dralmin {

// The driver's object on the bus. Declaring its signals here lets the bus deliver them as Qt
// signals once something connects to them.
class ScannerDriverProxy : public QDBusAbstractInterface {
  Q_OBJECT

 public:
  explicit ScannerDriverProxy(const QDBusConnection& bus, QObject* parent = nullptr)
      : QDBusAbstractInterface(kScannerDriverBusName, kScannerDriverObjectPath,
                               kScannerDriverInterface, bus, parent) {}

 Q_SIGNALS:
  void ScanDataEvent(short eventType, const QString& scanData);
  void ScanCmdResponseEvent(short status, const QString& response);
};

}  // namespace dralmin
