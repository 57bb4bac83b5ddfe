#include "app/ScannerWindow_win.h"

#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>

#include "platform/Log.h"
#include "platform/WideText.h"

namespace dralmin {

namespace {

constexpr wchar_t kClassName[] = L"DralminScannerWindow";

// Qt's event loop on Windows shows each message it takes from the thread's queue to the filters as
// "windows_generic_MSG" before dispatching it; the window procedure of Qt's own windows shows
// their messages again under the same name (sent ones included), so a queued message that comes
// round a second time is offered once.
class MessageOffers final : public QAbstractNativeEventFilter {
 public:
  explicit MessageOffers(std::function<void(const PlatformMessage&)> offer)
      : offer_(std::move(offer)) {
    QCoreApplication::instance()->installNativeEventFilter(this);
  }
  ~MessageOffers() override {
    if (QCoreApplication::instance() != nullptr) {
      QCoreApplication::instance()->removeNativeEventFilter(this);
    }
  }
  MessageOffers(const MessageOffers&) = delete;
  MessageOffers& operator=(const MessageOffers&) = delete;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (eventType != "windows_generic_MSG") return false;
    const auto* msg = static_cast<const MSG*>(message);
    if (msg->hwnd == last_.hwnd && msg->message == last_.message && msg->wParam == last_.wParam &&
        msg->lParam == last_.lParam && msg->time == last_.time) {
      return false;
    }
    last_ = *msg;
    offer_(PlatformMessage{msg->hwnd, PlatformMessage::kNative, msg});
    return false;  // every message goes on to its own handling
  }

 private:
  std::function<void(const PlatformMessage&)> offer_;
  MSG last_{};
};

}  // namespace

ScannerWindow::ScannerWindow() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kClassName;
  // Registered once per process; a second window finds it there.
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    LogError("scanner", "cannot register the scanner window's class: " +
                            SystemErrorText(GetLastError()) + "; no scanning");
    return;
  }
  // A top-level window that is never shown: the scanner's own windows may be parented to it.
  window_ = CreateWindowExW(0, kClassName, L"Dralmin Tray Agent", WS_POPUP, 0, 0, 0, 0, nullptr,
                            nullptr, instance, nullptr);
  if (window_ != nullptr) return;
  // A system without a display driver (Wine without an X display) makes no top-level window,
  // and says no more than "Success". A message-only window still takes the manager's notices;
  // the source's own windows then have no parent.
  const DWORD error = GetLastError();
  window_ = CreateWindowExW(0, kClassName, L"Dralmin Tray Agent", 0, 0, 0, 0, 0, HWND_MESSAGE,
                            nullptr, instance, nullptr);
  if (window_ == nullptr) {
    LogError("scanner", "cannot create the scanner window: " + SystemErrorText(GetLastError()) +
                            "; no scanning");
    return;
  }
  LogInfo("scanner", "no top-level window here (" + SystemErrorText(error) +
                         "); the scanner's notices go to a message-only window");
}

ScannerWindow::~ScannerWindow() {
  if (window_ != nullptr) DestroyWindow(static_cast<HWND>(window_));
}

std::shared_ptr<void> ScannerWindow::OfferEveryMessage(
    std::function<void(const PlatformMessage&)> offer) {
  return std::make_shared<MessageOffers>(std::move(offer));
}

}  // namespace dralmin
