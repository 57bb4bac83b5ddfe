#include "app/Agent.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QMetaObject>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <memory>

#include "app/AgentStatus.h"
#include "app/AgentSystem.h"
#include "app/CMainFrame.h"
#include "app/CSettingsDlg.h"
#include "app/DeviceEndpoints.h"
#include "app/GatewayFactory.h"
#include "app/QtMessageBox.h"
#include "app/TrayIcon.h"
#include "devices/barcode/PendingBarcode.h"
#include "devices/scanning/ScanQueue.h"
#include "devices/scanning/ScannerListing.h"
#include "gateway/Router.h"
#include "platform/DescriptorLimit.h"
#include "platform/Environment.h"
#include "platform/InstanceLock.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/StopSignals.h"
#include "settings/SettingsFiles.h"

namespace dralmin {
namespace {

// The frame's scanning session, for requests that arrive once the frame exists: the endpoints
// are made before the frame, which starts the gateway that serves them.
class FrameSessions final : public ScanSessionProvider {
 public:
  CMainFrame* frame = nullptr;
  ScanSession& GetScanSession() override { return frame->GetScanSession(); }
};

// Where scanned pages wait for their upload: on this machine's disk, not in a roaming profile.
std::string ScanFolder() {
  return LocalDataHome() + kFolderSeparator + "Dralmin" + kFolderSeparator + "scans";
}

// Where pages that were sent but could not be deleted are listed: the runtime folder, a disk of
// its own (memory), that outlives a restart of the agent though the queue's disk is read-only.
// None without one.
std::string SentPagesRecord() {
  const std::string runtime = EnvOr("XDG_RUNTIME_DIR", "");
  return runtime.empty() ? std::string() : runtime + kFolderSeparator + "dralmin-sent-pages";
}

// On these platforms nobody could dismiss a message box.
bool NobodyWatches() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// The agent's icon as PNG bytes, for the status page.
std::string IconPng() {
  QFile file(QStringLiteral(":/icons/dralmin-tray-agent-32.png"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return bytes.toStdString();
}

}  // namespace

int RunAgent(const std::string& programPath) {
  const auto started = std::chrono::steady_clock::now();
  // Before any thread exists (Qt starts its own), so that every thread inherits the blocked stop
  // signals and they reach only the descriptor watched below.
  ProcessSignals blockedSignals;

  InstanceLock instance(InstanceLockPath(kInstanceLockName));
  if (instance.state() == InstanceLock::State::HeldByPeer) return 0;  // leave that agent alone
  if (instance.state() != InstanceLock::State::Held) {
    LogError("agent", instance.error());
    return 1;
  }
  agent_system::PrepareProcess();
  // The usual soft limit (1024) would let idle connections take every descriptor, and with them
  // the files of the scan queue.
  const std::size_t descriptors = RaiseDescriptorLimit();

  const SettingsSources sources = SettingsSourcesFromEnvironment();
  const AgentSettings settings = LoadAgentSettings(sources, std::cerr);
  SetLogLevel(settings.logLevel);

  if (const std::string folder = FolderOf(programPath); !folder.empty()) {
    ChangeFolder(folder);  // best effort, as a failure changes nothing that matters
  }

  static int argc = 1;
  static char name[] = "dralmin-tray-agent";
  static char* argv[] = {name, nullptr};
  const bool desktop = agent_system::PrepareDesktop();
  std::unique_ptr<QCoreApplication> app;
  if (desktop) {
    app = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // closing a dialog must not end the agent
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }

  StopSignals stop;
  const std::unique_ptr<QObject> stopWatcher = agent_system::WatchStopRequests(stop);

  QtMessageBox boxes;
  StderrMessageBox stderrBoxes;
  MessageBox& messages = desktop && !NobodyWatches() ? static_cast<MessageBox&>(boxes)
                                                     : static_cast<MessageBox&>(stderrBoxes);

  PendingBarcode barcode;
  ScanQueue scanQueue(messages, ScanFolder(),
                      ScanQueueLimits{std::chrono::hours(settings.scanKeepHours),
                                      std::uint64_t(settings.scanQueueMb) << 20},
                      &std::chrono::system_clock::now, SentPagesRecord());
  FrameSessions sessions;
  // Set once the event loop has ended: a request still fetching lets the gateway stop.
  std::atomic<bool> stopping{false};
  ScannerListing scanners;
  DeviceEndpoints endpoints(settings, barcode, sessions, scanQueue, scanners, messages, stopping);
  HttpsStatus https;
  const auto ports = std::make_shared<PortsReport>();
  const AgentStatusSources statusSources{
      settings,
      started,
      &https,
      &agent_system::DeviceExists,
      [&endpoints] { return endpoints.StatusRows(); },
      &RecentLogLines,
      [] { return std::time(nullptr); },
      IconPng(),
      &scanners,
      ports.get(),
      &scanQueue,
  };
  for (const std::string& warning : AgentWarnings(statusSources)) LogWarning("agent", warning);
  Router router(endpoints, OriginPolicy(settings.allowedOrigins),
                StatusPage{AgentSelfOrigins(settings), [&statusSources] {
                             return CollectAgentStatus(statusSources,
                                                       std::chrono::steady_clock::now());
                           }});
  if (settings.allowedOrigins) {
    std::string origins;
    for (const std::string& origin : *settings.allowedOrigins) {
      origins += (origins.empty() ? "" : ", ") + origin;
    }
    LogInfo("gateway", "only pages of these origins may use the devices: " +
                           (origins.empty() ? std::string("(none)") : origins));
  }

  CMainFrame::Parts parts;
  if (desktop) {
    // A tray icon on a platform without one would only make Qt warn on standard error.
    const QString platform = QGuiApplication::platformName();
    if (PlatformCanShowTray(platform)) {
      parts.makeTrayIcon = [](const CMainFrame::TrayCommands& commands) {
        return std::make_unique<TrayIcon>(TrayIcon::Commands{
            commands.selectScanner, commands.settings, commands.status, commands.exit});
      };
    } else {
      LogInfo("tray", "the display platform " + platform.toStdString() +
                          " has no notification area; running without a tray icon");
    }
    parts.showSettings = [] { RunSettingsCommand(); };
    parts.showStatus = [port = settings.httpPort] {
      const QString url = QStringLiteral("http://127.0.0.1:%1/agent/status").arg(port);
      if (!QDesktopServices::openUrl(QUrl(url))) {
        LogWarning("tray", "no browser opened " + url.toStdString());
      }
    };
  }
  parts.scannerDriverConnected = [&endpoints](bool connected, bool watched) {
    endpoints.NoteScannerDriver(connected, watched);
  };
  parts.makeGateway = MakeGatewayFactory(router, settings, ports, descriptors);
  parts.gatewayCompanion = MakeHttpsCompanion(settings, &https);
  parts.onGatewayFailure = [loop = app.get()](const std::string& what) {
    LogError("gateway", what);
    QMetaObject::invokeMethod(
        loop, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
  };
  const std::shared_ptr<void> deviceParts =
      agent_system::AddDeviceParts(parts, settings, UserSettingsPath(sources),
                                   desktop && !NobodyWatches(), messages, scanQueue, scanners);
  parts.onScannedImage = [&scanQueue](TW_HANDLE dib) { return scanQueue.OnScannedImage(dib); };

  int code = 0;
  {
    CMainFrame frame(std::move(parts), barcode);
    sessions.frame = &frame;  // before Create starts the poll thread
    frame.Create();
    code = app->exec();
    stopping = true;
    // A request waiting for a box must not keep the frame from stopping the gateway.
    boxes.Close();
  }
  return code;
}

}  // namespace dralmin
