#pragma once

#include <functional>
#include <memory>

#include "devices/scanning/TwainOwner.h"

namespace dralmin {

// The agent's hidden window on Windows, the parent the scanner's manager and source are given and
// the window the manager posts its notices to. Made and used on the user-interface thread.
class ScannerWindow {
 public:
  ScannerWindow();
  ~ScannerWindow();
  ScannerWindow(const ScannerWindow&) = delete;
  ScannerWindow& operator=(const ScannerWindow&) = delete;

  // The window's handle; null when it could not be made (a line says why), and then the scanner's
  // manager cannot load.
  TW_HANDLE Handle() const { return window_; }

  // Offers every message that the thread's Qt event loop takes (posted thread messages included)
  // to `offer` before it is translated and dispatched, for as long as the returned object lives;
  // the message is always handled afterwards as usual.
  static std::shared_ptr<void> OfferEveryMessage(
      std::function<void(const PlatformMessage&)> offer);

 private:
  TW_HANDLE window_ = nullptr;
};

}  // namespace dralmin
