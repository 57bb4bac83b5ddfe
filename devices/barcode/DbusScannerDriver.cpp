#include "devices/barcode/DbusScannerDriver.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QList>

#include "ScannerDriverProxy.h"
#include "devices/barcode/ScannerDriverBus.h"
#include "platform/Log.h"

namespace dralmin {

std::unique_ptr<QObject> WatchScannerDriver(const QDBusConnection& bus,
                                            std::function<void()> appeared) {
  const QString name = QString::fromLatin1(kScannerDriverBusName);
  auto watcher =
      std::make_unique<QDBusServiceWatcher>(name, bus, QDBusServiceWatcher::WatchForOwnerChange);
  if (!bus.isConnected() || bus.interface() == nullptr) return watcher;
  // The owner the agent is connected to already; an activation by the agent's own first call
  // announces that owner too, late.
  QString owner = bus.interface()->serviceOwner(name).value();
  QDBusServiceWatcher* const watch = watcher.get();
  QObject::connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, watch,
                   [owner, appeared = std::move(appeared)](const QString&, const QString&,
                                                           const QString& newOwner) mutable {
                     if (newOwner.isEmpty()) {
                       LogInfo("barcode", "the scanner driver left the session bus");
                       owner.clear();
                       return;
                     }
                     if (newOwner == owner) return;
                     owner = newOwner;
                     LogInfo("barcode", "the scanner driver appeared on the session bus (" +
                                            newOwner.toStdString() + "); connecting to it");
                     appeared();
                   });
  return watcher;
}

std::unique_ptr<ScannerDriver> DbusScannerDriver::Create(const QDBusConnection& bus) {
  if (!bus.isConnected() || bus.interface() == nullptr) return nullptr;
  const QString name = QString::fromLatin1(kScannerDriverBusName);
  QDBusConnectionInterface* daemon = bus.interface();
  if (!daemon->isServiceRegistered(name).value() && !daemon->startService(name).isValid()) {
    return nullptr;
  }
  return std::make_unique<DbusScannerDriver>(bus);
}

DbusScannerDriver::DbusScannerDriver(const QDBusConnection& bus)
    : proxy_(std::make_unique<::ScannerDriverProxy>(QString::fromLatin1(kScannerDriverBusName),
                                                    QString::fromLatin1(kScannerDriverObjectPath),
                                                    bus)) {
  proxy_->setTimeout(kCallTimeoutMs);
}

DbusScannerDriver::~DbusScannerDriver() {
  Unadvise();
}

bool DbusScannerDriver::Advise(ScannerDriverEvents& events) {
  Unadvise();
  scanData_ = QObject::connect(proxy_.get(), &::ScannerDriverProxy::ScanDataEvent, proxy_.get(),
                               [&events](short eventType, const QString& scanData) {
                                 events.OnScanData(eventType, scanData.toStdString());
                               });
  cmdResponse_ = QObject::connect(proxy_.get(), &::ScannerDriverProxy::ScanCmdResponseEvent,
                                  proxy_.get(), [&events](short status, const QString& response) {
                                    events.OnScanCmdResponse(status, response.toStdString());
                                  });
  return static_cast<bool>(scanData_) && static_cast<bool>(cmdResponse_);
}

void DbusScannerDriver::Unadvise() {
  QObject::disconnect(scanData_);
  QObject::disconnect(cmdResponse_);
}

int32_t DbusScannerDriver::OpenScanners(int32_t reserved, const std::vector<int16_t>& scannerTypes,
                                        int32_t count, int32_t& status) {
  const QList<short> types(scannerTypes.begin(), scannerTypes.end());
  // A D-Bus error, or a reply of other arguments than the interface's, is a failed call.
  QDBusPendingReply<int> reply = proxy_->OpenScanners(reserved, types, count);
  reply.waitForFinished();
  if (!reply.isValid()) return kCallFailed;
  status = reply.value();
  return 0;
}

int32_t DbusScannerDriver::RunCommand(int32_t opcode, const std::string& inXml, std::string& outXml,
                                      int32_t& status) {
  QDBusPendingReply<QString, int> reply = proxy_->RunCommand(opcode, QString::fromStdString(inXml));
  reply.waitForFinished();
  if (!reply.isValid()) return kCallFailed;
  outXml = reply.argumentAt<0>().toStdString();
  status = reply.argumentAt<1>();
  return 0;
}

}  // namespace dralmin
