#pragma once

#include <QDBusConnection>
#include <QMetaObject>
#include <QObject>
#include <functional>
#include <memory>

#include "devices/barcode/ScannerDriver.h"

class ScannerDriverProxy;  // made from org.dralmin.ScannerDriver.xml

namespace dralmin {

// The scanner driver reached over D-Bus. Its events arrive through the event loop of the thread
// that created it.
class DbusScannerDriver final : public ScannerDriver {
 public:
  // A blocked driver must not freeze the user interface for long.
  static constexpr int kCallTimeoutMs = 5000;
  static constexpr int32_t kCallFailed = 1;

  // The driver on `bus` when its name has an owner or can be activated; null otherwise, also
  // when there is no bus at all.
  static std::unique_ptr<ScannerDriver> Create(const QDBusConnection& bus);

  explicit DbusScannerDriver(const QDBusConnection& bus);
  ~DbusScannerDriver() override;

  bool Advise(ScannerDriverEvents& events) override;
  void Unadvise() override;
  int32_t OpenScanners(int32_t reserved, const std::vector<int16_t>& scannerTypes, int32_t count,
                       int32_t& status) override;
  int32_t RunCommand(int32_t opcode, const std::string& inXml, std::string& outXml,
                     int32_t& status) override;

 private:
  std::unique_ptr<::ScannerDriverProxy> proxy_;
  QMetaObject::Connection scanData_;
  QMetaObject::Connection cmdResponse_;
};

// Calls `appeared` each time the driver's name gets a new owner on `bus`: a driver started after
// the agent, or started again. An owner that has the name already when this is made does not
// count. Each appearance is said in one line. The watch lasts as long as the returned object.
std::unique_ptr<QObject> WatchScannerDriver(const QDBusConnection& bus,
                                            std::function<void()> appeared);

}  // namespace dralmin
