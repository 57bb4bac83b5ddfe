#pragma once

#include "devices/scanning/TwainOwner.h"

namespace dralmin {

// One way of reaching the document scanner (a TWAIN manager, or SANE), as the frame, "/scan/" and
// the tray's scanner choice use it.
class ScanSession {
 public:
  virtual ~ScanSession() = default;

  // Starts a scan, on the gateway's poll thread. False when nothing could be started; the caller
  // tells the user. Pages reach the scan queue later, on the session's own schedule.
  virtual bool Acquire() = 0;

  // True while a scan is under way that refuses another start (its pages still to come).
  virtual bool Busy() const { return false; }

  // The tray's scanner choice, on the user-interface thread.
  virtual void SelectSource() = 0;

  // True when the session needs ProcessMessage offers from the user-interface thread.
  virtual bool WantsMessages() const { return false; }
  // One offer of the user-interface thread (see PlatformMessage).
  virtual void ProcessMessage(const PlatformMessage&) {}
};

// Gives the agent's one scanning session, creating it on first use; safe from any thread.
class ScanSessionProvider {
 public:
  virtual ~ScanSessionProvider() = default;
  virtual ScanSession& GetScanSession() = 0;
};

}  // namespace dralmin
