#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/AgentSystem.h"
#include "app/QtScanDialog.h"
#include "app/ScanSessions.h"
#include "devices/barcode/DbusScannerDriver.h"
#include "platform/Environment.h"
#include "platform/StopSignals.h"

namespace dralmin::agent_system {

void PrepareProcess() {}

// Without a desktop session the agent still runs a Qt event loop, so that the barcode driver's
// events arrive.
bool PrepareDesktop() {
  if (!EnvOr("QT_QPA_PLATFORM", "").empty()) return true;
  const bool wayland = !EnvOr("WAYLAND_DISPLAY", "").empty();
  if (!wayland && EnvOr("DISPLAY", "").empty()) return false;
  // A display that cannot be reached must not end the agent (it would be restarted for ever):
  // Qt then falls back to the next platform of the list, a desktop that nobody sees.
  qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
  return true;
}

std::unique_ptr<QObject> WatchStopRequests(StopSignals& stop) {
  auto notifier = std::make_unique<QSocketNotifier>(stop.Descriptor(), QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [&stop] {
    if (stop.Consume()) QCoreApplication::exit(0);
  });
  return notifier;
}

std::shared_ptr<void> AddDeviceParts(CMainFrame::Parts& parts, const AgentSettings& settings,
                                     const std::string& userFile, bool watched,
                                     MessageBox& messages, ScanQueue& queue,
                                     ScannerListing& scanners) {
  // SANE scanners have no window of their own: the agent shows its scan dialog, unless nobody
  // would see it. Unattended stations (scan_dialog false) keep it for the tray's scanner choice.
  std::shared_ptr<QtScanDialog> scanDialog;
  if (watched) {
    scanDialog = std::make_shared<QtScanDialog>(userFile);
  }
  parts.makeScannerDriver = [] { return DbusScannerDriver::Create(QDBusConnection::sessionBus()); };
  parts.watchScannerDriver = [](std::function<void()> appeared) {
    return WatchScannerDriver(QDBusConnection::sessionBus(), std::move(appeared));
  };
  parts.makeScanSession = [&settings, dialog = scanDialog.get(), &messages, &queue,
                           &scanners](TwainOwner& owner) {
    return MakeScanSession(settings, owner, dialog, messages, queue, scanners);
  };
  return scanDialog;
}

bool DeviceExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace dralmin::agent_system
