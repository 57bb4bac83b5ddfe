#pragma once

#include <cstdint>

#include "devices/scanning/Twain.h"

namespace dralmin {

// One message of the owner's user-interface thread, offered to the session. On Windows every
// message the thread's event loop takes is offered, and `native` is the system's own message (a
// MSG), which the manager and the source read: the source's readiness arrives as one of them.
// Elsewhere the owner offers an idle message between its own events (after each pass of its
// event loop, or from a zero-timeout timer), each one a chance for the source to report a ready
// page or a close request. Page transfers run on the offering thread.
struct PlatformMessage {
  enum Kind : uint32_t {
    kIdle = 0,    // the owner's event loop had nothing else to do
    kNative = 1,  // a message of the system, at `native`
  };
  TW_HANDLE window = nullptr;  // the owner's window, as given to the session
  uint32_t kind = kIdle;
  const void* native = nullptr;
};

// The party a scanning session works for: it provides the parent window and receives the pages.
class TwainOwner {
 public:
  virtual ~TwainOwner() = default;

  // The window the manager and the source's user interface are parented to; null when the owner
  // has none, and then the session cannot load.
  virtual TW_HANDLE Window() const = 0;

  // One transferred page as a packed DIB in a memory block (platform/MemoryHandle.h), on the
  // thread that offered the message. The block stays the session's and is freed as soon as this
  // returns, so the receiver copies what it needs. Messages offered from a nested event loop in
  // here (a modal message box) are ignored by the session until the hand-over returns. False
  // when the page could not be kept: the scan ends there.
  virtual bool OnScannedImage(TW_HANDLE dib) = 0;
};

}  // namespace dralmin
