#include "devices/scanning/WorkerScanSession.h"

#include <cstring>
#include <utility>

#include "platform/Log.h"
#include "platform/MemoryHandle.h"
#include "platform/Process.h"
#include "platform/ScopedFlag.h"

namespace dralmin {

using worker::Frame;
using worker::FrameType;

namespace {

constexpr const char* kComponent = "scanner";

std::string Millis(std::chrono::milliseconds span) {
  return std::to_string(span.count()) + " ms";
}

// The platform's piped child as the session's worker process.
class PipedWorker final : public WorkerProcess {
 public:
  explicit PipedWorker(std::unique_ptr<PipedChild> child) : child_(std::move(child)) {}
  std::size_t ReadExactly(void* data, std::size_t size) override {
    return child_->Read(data, size);
  }
  bool Write(std::string_view bytes) override { return child_->Write(bytes.data(), bytes.size()); }
  void Kill() override { child_->Kill(); }

 private:
  std::unique_ptr<PipedChild> child_;
};

}  // namespace

WorkerLauncher PipedWorkerLauncher(std::string path) {
  return [path = std::move(path)](std::string& error) -> std::unique_ptr<WorkerProcess> {
    std::unique_ptr<PipedChild> child = PipedChild::Start(path, {}, error);
    if (!child) return nullptr;
    return std::make_unique<PipedWorker>(std::move(child));
  };
}

struct WorkerScanSession::Running {
  uint64_t generation = 0;  // which start this is, so that a page is answered to its own worker
  std::unique_ptr<WorkerProcess> process;
  std::thread reader;
  bool failed = false;  // said once, or ended on purpose: nothing more is taken from it
};

WorkerScanSession::WorkerScanSession(TwainOwner& owner, WorkerLauncher launch,
                                     std::function<void()> wake, ScannerListing* listing,
                                     std::string name, Bounds bounds)
    : owner_(owner),
      launch_(std::move(launch)),
      wake_(std::move(wake)),
      listing_(listing),
      name_(std::move(name)),
      bounds_(bounds) {}

WorkerScanSession::~WorkerScanSession() {
  Stop(false);
}

bool WorkerScanSession::Chosen() const {
  std::lock_guard lock(mutex_);
  return chosen_;
}

bool WorkerScanSession::Busy() const {
  std::lock_guard lock(mutex_);
  return inRun_ || !pages_.empty();
}

bool WorkerScanSession::EnsureStarted(const char* what) {
  {
    std::lock_guard lock(mutex_);
    if (running_ && !running_->failed) return true;
  }
  Stop(false);  // one that failed and was not started again
  std::string error;
  std::unique_ptr<WorkerProcess> process = launch_(error);
  if (!process) {
    LogError(kComponent, std::string("no ") + what + ": " + name_ + " cannot be started: " + error);
    return false;
  }
  auto running = std::make_unique<Running>();
  running->generation = ++starts_;
  running->process = std::move(process);
  Running* started = running.get();
  {
    std::lock_guard lock(mutex_);
    running_ = std::move(running);
    replies_.clear();
  }
  started->reader = std::thread([this, started] { Read(started); });

  std::unique_lock lock(mutex_);
  const bool answered =
      changed_.wait_for(lock, bounds_.start, [&] { return started->failed || !replies_.empty(); });
  // A reply that came before a fault is still the worker's answer.
  if (!replies_.empty() && replies_.front().type == FrameType::kReady) {
    replies_.pop_front();
    return true;
  }
  if (!answered) {
    Fault(started, "its manager was not open within " + Millis(bounds_.start));
  } else if (!replies_.empty()) {
    Fault(started, "it answered its start with a frame of type " +
                       std::to_string(static_cast<uint32_t>(replies_.front().type)));
  }
  lock.unlock();
  Stop(false);  // a worker that cannot start is not started again until the next use
  return false;
}

std::optional<Frame> WorkerScanSession::Ask(FrameType command,
                                            std::initializer_list<FrameType> answers,
                                            const char* what) {
  if (!EnsureStarted(what)) return std::nullopt;
  Running* running = running_.get();  // only this thread replaces it
  std::unique_lock lock(mutex_);
  if (!running->process->Write(worker::EncodeFrame(command))) {
    Fault(running, std::string("its pipe broke when asked for ") + what);
  } else if (!changed_.wait_for(lock, bounds_.reply,
                                [&] { return running->failed || !replies_.empty(); })) {
    Fault(running, std::string("it did not answer ") + what + " within " + Millis(bounds_.reply));
  } else if (!replies_.empty()) {  // a reply that came before a fault is still the answer
    Frame reply = std::move(replies_.front());
    replies_.pop_front();
    for (FrameType answer : answers) {
      if (reply.type == answer) return reply;
    }
    Fault(running, std::string("it answered ") + what + " with a frame of type " +
                       std::to_string(static_cast<uint32_t>(reply.type)));
  }
  lock.unlock();
  Stop(true);
  return std::nullopt;
}

std::optional<std::vector<std::string>> WorkerScanSession::ListSources() {
  const std::optional<Frame> reply =
      Ask(FrameType::kListSources, {FrameType::kSources}, "the listing of its sources");
  if (!reply) return std::nullopt;
  std::string error;
  std::optional<std::vector<std::string>> names = worker::DecodeNames(reply->payload, error);
  if (!names) {
    {
      std::lock_guard lock(mutex_);
      Fault(running_.get(), "it sent " + error);
    }
    Stop(true);
  }
  return names;
}

bool WorkerScanSession::Acquire() {
  if (Busy()) {
    LogWarning("scanning",
               "the scan did not start: the scan under way is still transferring its "
               "pages, which stay its own");
    return false;
  }
  if (listing_ != nullptr) {
    std::optional<std::vector<std::string>> names = ListSources();
    if (!names) return false;
    listing_->Record(std::move(*names));
  }
  const std::optional<Frame> reply =
      Ask(FrameType::kAcquire, {FrameType::kAcquireStarted, FrameType::kAcquireFailed}, "a scan");
  if (!reply) return false;
  if (reply->type == FrameType::kAcquireFailed && !reply->payload.empty()) {
    LogWarning("scanning", name_ + ": the scan did not start: " + reply->payload);
  }
  return reply->type == FrameType::kAcquireStarted;
}

void WorkerScanSession::SelectSource() {
  if (listing_ != nullptr) {
    std::optional<std::vector<std::string>> names = ListSources();
    if (!names) return;
    listing_->Record(std::move(*names));
  }
  if (!EnsureStarted("scanner choice")) return;
  Running* running = running_.get();
  {
    std::lock_guard lock(mutex_);
    chosen_ = false;
    if (running->process->Write(worker::EncodeFrame(FrameType::kSelectSource))) return;
    Fault(running, "its pipe broke when asked for the scanner choice");
  }
  Stop(true);
}

void WorkerScanSession::ProcessMessage(const PlatformMessage&) {
  if (processing_) return;
  ScopedFlag processing(processing_);
  HandOverPages();
  bool restart = false;
  {
    std::lock_guard lock(mutex_);
    restart = restartPending_;
  }
  if (restart) Stop(true);
}

void WorkerScanSession::HandOverPages() {
  for (;;) {
    std::string page;
    uint64_t from = 0;
    {
      std::lock_guard lock(mutex_);
      if (pages_.empty()) return;
      from = pages_.front().generation;
      page = std::move(pages_.front().dib);
      pages_.pop_front();
    }
    bool kept = false;
    if (MemoryHandle block = AllocateMemory(page.size()); block != nullptr) {
      std::memcpy(LockMemory(block), page.data(), page.size());
      UnlockMemory(block);
      page = std::string();
      kept = owner_.OnScannedImage(block);
      FreeMemory(block);
    } else {
      LogError(kComponent, "a scanned page of " + std::to_string(page.size()) + " bytes from " +
                               name_ + " was not kept: out of memory");
    }
    // The worker waits for this before it goes on, or ends the run when the page was not kept.
    Running* running = running_.get();
    std::lock_guard lock(mutex_);
    if (running != nullptr && running->generation == from && !running->failed &&
        !running->process->Write(
            worker::EncodeFrame(FrameType::kPageTaken, worker::EncodeFlag(kept)))) {
      Fault(running, "its pipe broke when told a page was taken");
    }
  }
}

void WorkerScanSession::Read(Running* running) {
  for (;;) {
    std::string error;
    std::optional<Frame> frame = worker::ReadFrame(*running->process, error);
    std::unique_lock lock(mutex_);
    if (!frame) {
      Fault(running, error.empty() ? "it ended" : "it sent " + error);
      return;
    }
    if (running->failed) return;
    switch (frame->type) {
      case FrameType::kLog: {
        std::optional<worker::LogLine> line = worker::DecodeLog(frame->payload, error);
        if (!line) break;
        lock.unlock();
        Log(static_cast<LogLevel>(line->level), kComponent, name_ + ": " + line->text);
        continue;
      }
      case FrameType::kPage:
        // It waits for each page to be taken; a second one now would be held beside the first.
        if (!pages_.empty()) {
          error = "a page before the last one was taken";
          break;
        }
        pages_.push_back({running->generation, std::move(frame->payload)});
        inRun_ = true;
        if (wake_) wake_();
        continue;
      case FrameType::kRunEnded:
        inRun_ = false;
        continue;
      case FrameType::kSelection:
        if (std::optional<bool> chosen = worker::DecodeFlag(frame->payload, error)) {
          chosen_ = *chosen;
          continue;
        }
        break;
      case FrameType::kReady:
      case FrameType::kSources:
      case FrameType::kAcquireStarted:
      case FrameType::kAcquireFailed:
        replies_.push_back(std::move(*frame));
        changed_.notify_all();
        continue;
      default:
        error = "a frame of type " + std::to_string(static_cast<uint32_t>(frame->type)) +
                " that only the agent sends";
        break;
    }
    Fault(running, "it sent " + error);
    running->process->Kill();  // what it sends next is not read
    return;
  }
}

void WorkerScanSession::Fault(Running* running, const std::string& why) {
  if (running == nullptr || running->failed) return;
  running->failed = true;
  LogError(kComponent, name_ + " failed: " + why);
  if (running == running_.get()) {
    inRun_ = false;
    restartPending_ = true;
  }
  changed_.notify_all();
  if (wake_) wake_();
}

void WorkerScanSession::Stop(bool restart) {
  std::unique_ptr<Running> old;
  {
    std::lock_guard lock(mutex_);
    old = std::move(running_);
    if (old) old->failed = true;  // its end is no fault
    replies_.clear();
    restartPending_ = false;
    inRun_ = false;
  }
  if (old) {
    old->process->Kill();
    if (old->reader.joinable()) old->reader.join();
  }
  if (restart) EnsureStarted("restart");
}

}  // namespace dralmin
