#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "devices/scanning/ScanSession.h"
#include "devices/scanning/ScannerListing.h"
#include "devices/scanning/worker/WorkerProtocol.h"

namespace dralmin {

// The 32-bit TWAIN worker's process and its pipe, as the session starts and talks to it.
class WorkerProcess : public worker::ByteSource {
 public:
  // Writes all of `bytes`; false when the pipe is broken.
  virtual bool Write(std::string_view bytes) = 0;
  // Ends the process at once; a read waiting on the pipe returns then.
  virtual void Kill() = 0;
};

// Starts a worker; null, with `error` saying why, when it cannot be started.
using WorkerLauncher = std::function<std::unique_ptr<WorkerProcess>(std::string& error)>;

// The worker program `path` (beside the agent's executable), connected by a pipe pair that only
// it inherits.
WorkerLauncher PipedWorkerLauncher(std::string path);

// Scans through the 32-bit worker (dralmin-twain-worker32.exe), for the 32-bit TWAIN drivers a
// 64-bit agent cannot load. The worker is started at the first use and runs the manager, the
// source's window and the transfers; each page comes back as the source's DIB and is handed to
// the owner on the thread that offers messages, so it takes the path of an in-process page.
//
// A worker that dies, sends a frame the protocol refuses, or does not answer within the bounds
// below is ended with one log line naming it and why, and is started again once; the operation
// under way fails as it would in process. Pages already received are still handed over.
//
// Acquire, SelectSource and ProcessMessage run on the owner's user-interface thread (the frame's
// scanOnFrameThread); the pipe is read on a thread of the session's own.
class WorkerScanSession final : public ScanSession {
 public:
  struct Bounds {
    std::chrono::milliseconds start{15000};  // from the start to the worker's manager being open
    std::chrono::milliseconds reply{30000};  // a listing, or a scan's start (its window opens)
  };

  // `wake` asks the owner's thread for an offer soon (posts it a message), from the reading
  // thread, when a page has come. `name` names the worker in log lines.
  WorkerScanSession(TwainOwner& owner, WorkerLauncher launch, std::function<void()> wake,
                    ScannerListing* listing, std::string name, Bounds bounds);
  WorkerScanSession(TwainOwner& owner, WorkerLauncher launch, std::function<void()> wake,
                    ScannerListing* listing = nullptr, std::string name = "the 32-bit TWAIN worker")
      : WorkerScanSession(owner, std::move(launch), std::move(wake), listing, std::move(name),
                          Bounds{}) {}
  ~WorkerScanSession() override;
  WorkerScanSession(const WorkerScanSession&) = delete;
  WorkerScanSession& operator=(const WorkerScanSession&) = delete;

  bool Acquire() override;
  // Asks the worker to show its manager's selection dialog and returns at once; the choice is
  // the worker's (Chosen() once it answers).
  void SelectSource() override;
  bool Busy() const override;
  bool WantsMessages() const override { return true; }
  void ProcessMessage(const PlatformMessage& message) override;

  // The product names of the worker's sources; nullopt, after one line, when the worker could
  // not be reached.
  std::optional<std::vector<std::string>> ListSources();

  // True once the worker said the user chose a source in its dialog, until the next choice.
  bool Chosen() const;

 private:
  struct Running;

  // Starts the worker unless it runs; false after one line when it cannot be started.
  bool EnsureStarted(const char* what);
  // Sends a command and waits for one of the reply types; nullopt after one line (the worker is
  // ended and started again) on a fault or when no answer comes in time.
  std::optional<worker::Frame> Ask(worker::FrameType command,
                                   std::initializer_list<worker::FrameType> answers,
                                   const char* what);
  void Read(Running* running);
  // Records the worker's fault and says it once; under mutex_.
  void Fault(Running* running, const std::string& why);
  // Ends the worker and its reader; then starts it again once (restart true). Not under mutex_.
  void Stop(bool restart);
  void HandOverPages();

  TwainOwner& owner_;
  WorkerLauncher launch_;
  std::function<void()> wake_;
  ScannerListing* listing_;
  std::string name_;
  Bounds bounds_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a reply came or the worker failed
  std::unique_ptr<Running> running_;
  std::deque<worker::Frame> replies_;
  struct Page {
    uint64_t generation;  // the worker's start that sent it
    std::string dib;
  };
  std::deque<Page> pages_;  // received, not yet handed over: at most one
  uint64_t starts_ = 0;
  bool inRun_ = false;  // pages are coming: from the first until the run's end
  bool chosen_ = false;
  bool restartPending_ = false;  // a fault the owner's thread has not acted on yet
  bool processing_ = false;      // ProcessMessage is handing over (a nested loop may offer again)
};

}  // namespace dralmin
