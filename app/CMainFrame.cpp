#include "app/CMainFrame.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "app/TrayIcon.h"
#include "platform/ScopedFlag.h"

#include "platform/Log.h"

namespace dralmin {
namespace {
// Where no scanning backend could be made (the factory said why): every scan fails.
class NoScanSession final : public ScanSession {
 public:
  bool Acquire() override {
    LogError("scanner", "no scan: no scanning backend is available");
    return false;
  }
  void SelectSource() override {}
};

}  // namespace

CMainFrame::CMainFrame(Parts parts, PendingBarcode& barcode)
    : parts_(std::move(parts)), barcode_(barcode) {
  offerTimer_.setInterval(kOfferInterval);
  connect(&offerTimer_, &QTimer::timeout, this, [this] {
    OfferMessage(PlatformMessage{Window(), PlatformMessage::kIdle});
  });
}

CMainFrame::~CMainFrame() {
  {
    // A scan the poll thread waits for would never run now that the event loop has ended.
    std::lock_guard lock(sessionMutex_);
    closing_ = true;
    acquired_.notify_all();
  }
  gateway_.reset();  // joins the poll thread: no request is in progress afterwards
  trayIcon_.reset();
  driverWatch_.reset();
  scannerCommands_.reset();
  offerTimer_.stop();
  messageOffers_.reset();
  std::lock_guard lock(sessionMutex_);
  session_.reset();
}

void CMainFrame::Create() {
  if (parts_.makeTrayIcon) {
    trayIcon_ =
        parts_.makeTrayIcon(TrayCommands{[this] { SelectScanner(); }, [this] { ShowSettings(); },
                                         [this] {
                                           if (parts_.showStatus) parts_.showStatus();
                                         },
                                         [this] { Exit(); }});
  }
  if (parts_.makeGateway) {
    gateway_ = std::make_unique<GatewayThread>(parts_.makeGateway, parts_.onGatewayFailure,
                                               parts_.gatewayCompanion);
  }
  ConnectScannerDriver();
  // After the first connection, so that a driver the agent itself started is not taken for a
  // new one.
  if (parts_.watchScannerDriver) {
    driverWatch_ = parts_.watchScannerDriver([this] { ConnectScannerDriver(); });
  }
  if (!scannerCommands_->IsDriverAvailable() && driverWatch_) {
    LogInfo("barcode", "no scanner driver yet; barcodes come once it starts");
  }
}

void CMainFrame::ConnectScannerDriver() {
  scannerCommands_.reset();  // a driver that went away, or none
  scannerCommands_ = std::make_unique<CScannerCommands>(parts_.makeScannerDriver, barcode_);
  if (parts_.scannerDriverConnected) {
    parts_.scannerDriverConnected(scannerCommands_->IsDriverAvailable(),
                                  static_cast<bool>(parts_.watchScannerDriver));
  }
  if (scannerCommands_->IsDriverAvailable()) {
    // Statuses and results tell nothing the agent could act on: a driver that refuses simply
    // sends no scans.
    int32_t status = 0;
    scannerCommands_->OpenScanners({kScannerTypes.begin(), kScannerTypes.end()}, status);
    scannerCommands_->SubscribeEvents(1, "1", status);
  }
}

ScanSession& CMainFrame::GetScanSession() {
  // There the session is made on the frame's thread too, by the first scan or scanner choice.
  if (parts_.scanOnFrameThread) return frameThreadScan_;
  return Session();
}

ScanSession& CMainFrame::Session() {
  std::lock_guard lock(sessionMutex_);
  if (!session_) {
    if (parts_.makeScanSession) session_ = parts_.makeScanSession(*this);
    if (!session_) session_ = std::make_unique<NoScanSession>();
    // The offers run on this frame's thread, whichever thread created the session.
    if (session_->WantsMessages()) QMetaObject::invokeMethod(this, [this] { StartOffers(); });
  }
  return *session_;
}

bool CMainFrame::FrameThreadScan::Acquire() {
  return frame_.AcquireOnFrameThread();
}

bool CMainFrame::FrameThreadScan::Busy() const {
  ScanSession* session = nullptr;
  {
    std::lock_guard lock(frame_.sessionMutex_);
    session = frame_.session_.get();
  }
  return session != nullptr && session->Busy();
}

void CMainFrame::FrameThreadScan::SelectSource() {
  frame_.Session().SelectSource();
}

bool CMainFrame::AcquireOnFrameThread() {
  if (QThread::currentThread() == thread()) return Session().Acquire();
  // Shared with the queued call, which may outlive this wait when the frame goes down first.
  struct Outcome {
    bool done = false;
    bool started = false;
  };
  auto outcome = std::make_shared<Outcome>();
  std::unique_lock lock(sessionMutex_);
  if (!closing_) {
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
          const bool started = Session().Acquire();
          std::lock_guard done(sessionMutex_);
          outcome->started = started;
          outcome->done = true;
          acquired_.notify_all();
        },
        Qt::QueuedConnection);
    acquired_.wait(lock, [&] { return outcome->done || closing_; });
  }
  if (!outcome->done) LogError("scanner", "no scan: the agent is stopping");
  return outcome->started;
}

void CMainFrame::SelectScanner() {
  if (commandRunning_) return;
  ScopedFlag running(commandRunning_);
  GetScanSession().SelectSource();
}

void CMainFrame::ShowSettings() {
  if (commandRunning_ || !parts_.showSettings) return;
  ScopedFlag running(commandRunning_);
  parts_.showSettings();
}

void CMainFrame::Exit() {
  QCoreApplication::exit(0);
}

TW_HANDLE CMainFrame::Window() const {
  if (parts_.window != nullptr) return parts_.window;
  // The frame has no native window of its own; the manager only keeps the value as its parent
  // and hands it back, so the frame's identity serves.
  return const_cast<CMainFrame*>(this);
}

bool CMainFrame::OnScannedImage(TW_HANDLE dib) {
  return !parts_.onScannedImage || parts_.onScannedImage(dib);
}

void CMainFrame::StartOffers() {
  if (parts_.offerEveryMessage) {
    messageOffers_ =
        parts_.offerEveryMessage([this](const PlatformMessage& message) { OfferMessage(message); });
  } else {
    offerTimer_.start();
  }
}

void CMainFrame::OfferMessage(const PlatformMessage& message) {
  ScanSession* session = nullptr;
  {
    std::lock_guard lock(sessionMutex_);
    session = session_.get();
  }
  if (session != nullptr) session->ProcessMessage(message);
}

}  // namespace dralmin
