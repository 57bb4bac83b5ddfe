#pragma once

namespace dralmin {

// SIGTERM and SIGINT as a readable descriptor, so that an event loop can watch for a stop among
// its other events. The signals must already be blocked in every thread (ProcessSignals does that
// when constructed first); they then reach only this descriptor. On Windows a stop is a console
// control event or the watchdog's AskToEnd, both of which set an event object instead.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable while a stop signal is pending; -1 when the descriptor could not be made.
  int Descriptor() const { return fd_; }

  // Takes every pending stop signal; true when there was one.
  bool Consume();

#ifdef _WIN32
  // The event object that is set while a stop is pending; null when it could not be made.
  void* Handle() const { return event_; }

 private:
  void* event_ = nullptr;
#endif

 private:
  int fd_ = -1;
};

}  // namespace dralmin
