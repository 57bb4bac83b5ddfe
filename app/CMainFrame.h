#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "devices/barcode/CScannerCommands.h"
#include "devices/scanning/ScanSession.h"
#include "devices/scanning/TwainOwner.h"
#include "gateway/GatewayThread.h"

namespace dralmin {

class PendingBarcode;
class TrayIcon;

// The agent's hidden main frame, on the user-interface thread: it owns everything that lives as
// long as the agent (tray icon, gateway, barcode driver connection, scanning session), brings
// them up in Create and takes them down in its destructor, and turns the tray menu's choices
// into actions.
class CMainFrame final : public QObject, public TwainOwner {
 public:
  // The commands the tray menu runs.
  struct TrayCommands {
    std::function<void()> selectScanner;
    std::function<void()> settings;
    std::function<void()> status;
    std::function<void()> exit;
  };

  // What the frame is built from; every part may be left empty.
  struct Parts {
    // The tray icon for these commands, or null where there is no desktop.
    std::function<std::unique_ptr<TrayIcon>(const TrayCommands&)> makeTrayIcon;
    // Run on the poll thread: builds the gateway; a failure goes to onGatewayFailure there.
    GatewayThread::Factory makeGateway;
    GatewayThread::FailureHandler onGatewayFailure;
    // Run beside the poll loop once the gateway serves (the certificate and the HTTPS port).
    GatewayThread::Companion gatewayCompanion;
    ScannerDriverFactory makeScannerDriver;
    // Watches for the driver starting (later, or again) and calls its argument then; the watch
    // lasts as long as the returned object.
    std::function<std::unique_ptr<QObject>(std::function<void()> appeared)> watchScannerDriver;
    // The scanning session (TWAIN or SANE), made on first use for this frame.
    std::function<std::unique_ptr<ScanSession>(TwainOwner& owner)> makeScanSession;
    // The gateway's scanned-image operation: takes one page while the session still owns it.
    std::function<bool(TW_HANDLE dib)> onScannedImage;
    // The system's window that the scanner's manager and source are parented to. Left null where
    // the manager only keeps the value and hands it back: the frame's identity serves there.
    TW_HANDLE window = nullptr;
    // Offers every message of the user-interface thread's event loop to `offer`, before it is
    // handled, for as long as the returned object lives. Without it the frame offers an idle
    // message every kOfferInterval instead.
    std::function<std::shared_ptr<void>(std::function<void(const PlatformMessage&)> offer)>
        offerEveryMessage;
    // Where the manager and its source belong to the thread that opened them (TWAIN on Windows:
    // their windows and notices go to that thread's queue), the session is made and a scan the
    // gateway starts runs on the frame's thread, while the poll thread waits for its outcome.
    bool scanOnFrameThread = false;
    // The settings dialog, run modally.
    std::function<void()> showSettings;
    // Opens the status page in the user's browser.
    std::function<void()> showStatus;
    // Told after each connection to the barcode scanner driver whether the driver was there, and
    // whether a driver that starts later is connected then (watchScannerDriver).
    std::function<void(bool connected, bool watched)> scannerDriverConnected;
  };

  // How often a TWAIN session is offered an idle message while it exists, where the system's own
  // messages are not offered: the only way the source's events (a ready page, a close request)
  // reach the agent there.
  static constexpr std::chrono::milliseconds kOfferInterval{50};
  static constexpr std::array<int16_t, 8> kScannerTypes{1, 0, 0, 0, 0, 0, 0, 0};

  CMainFrame(Parts parts, PendingBarcode& barcode);
  // Stops the gateway and waits until the poll thread no longer uses it; then removes the icon,
  // disconnects the barcode driver and ends the scanning session. Whatever the request in
  // progress waits for on this thread (a message box) must have been released before.
  ~CMainFrame() override;
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // In this order: the tray icon, the gateway's poll thread, the barcode driver connection
  // (opened and subscribed when the driver is there), made again whenever the driver starts
  // later or again. Call once.
  void Create();

  // The scanning session, created on first use from either thread; never two. Without a
  // makeScanSession part there is none, and scans fail. With scanOnFrameThread, the session is
  // made and started on the frame's thread whichever thread calls.
  ScanSession& GetScanSession();

  // The tray menu's commands.
  void SelectScanner();
  void ShowSettings();
  // Ends the event loop with 0; the destructor then takes everything down.
  void Exit();

  TW_HANDLE Window() const override;
  bool OnScannedImage(TW_HANDLE dib) override;

  TrayIcon* GetTrayIcon() const { return trayIcon_.get(); }
  CScannerCommands* GetScannerCommands() const { return scannerCommands_.get(); }

 private:
  void OfferMessage(const PlatformMessage& message);
  // Starts the offers to a session that wants them, on this frame's thread.
  void StartOffers();
  void ConnectScannerDriver();
  // The session itself, made on first use.
  ScanSession& Session();
  // Runs the session's Acquire (making the session first if need be) on this frame's thread and
  // returns its outcome; false, with a line, once the frame is going down.
  bool AcquireOnFrameThread();

  // The session as the gateway sees it where scans run on the frame's thread.
  class FrameThreadScan final : public ScanSession {
   public:
    explicit FrameThreadScan(CMainFrame& frame) : frame_(frame) {}
    bool Acquire() override;
    bool Busy() const override;
    void SelectSource() override;

   private:
    CMainFrame& frame_;
  };

  Parts parts_;
  PendingBarcode& barcode_;
  std::unique_ptr<TrayIcon> trayIcon_;
  std::unique_ptr<GatewayThread> gateway_;
  std::unique_ptr<CScannerCommands> scannerCommands_;
  std::unique_ptr<QObject> driverWatch_;
  mutable std::mutex sessionMutex_;  // guards the creation of session_, not its use
  std::unique_ptr<ScanSession> session_;
  FrameThreadScan frameThreadScan_{*this};
  std::condition_variable acquired_;  // with sessionMutex_: an Acquire ended, or closing_
  bool closing_ = false;              // guarded by sessionMutex_
  QTimer offerTimer_;
  std::shared_ptr<void> messageOffers_;  // while it lives, every message is offered
  bool commandRunning_ = false;  // a modal command is open; the menu does not start a second
};

}  // namespace dralmin
