#include "devices/scanning/WorkerScanSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/MemoryHandle.h"

namespace dralmin {
namespace {

using worker::EncodeFrame;
using worker::FrameType;

// A worker in memory: what it sends is queued for the session's reader, and each command the
// session writes is answered by the test's script. Killing it ends its output and sets `killed`,
// which outlives it (the session destroys a worker it has killed).
class FakeWorker final : public WorkerProcess {
 public:
  using Script = std::function<void(FakeWorker&, FrameType command, const std::string& payload)>;
  FakeWorker(Script script, bool& killed) : killed_(killed), script_(std::move(script)) {}

  void Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    output_ += bytes;
    changed_.notify_all();
  }
  void End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  std::size_t ReadExactly(void* data, std::size_t size) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_ || output_.size() >= size; });
    const std::size_t n = std::min(size, output_.size());
    std::memcpy(data, output_.data(), n);
    output_.erase(0, n);
    return n;
  }
  bool Write(std::string_view bytes) override {
    {
      std::lock_guard lock(mutex_);
      if (ended_) return false;
      written.emplace_back(bytes);
    }
    unsigned char head[worker::kHeaderSize];
    std::memcpy(head, bytes.data(), sizeof head);
    std::string error;
    const std::optional<worker::Header> header = worker::ParseHeader(head, error);
    if (header && script_) script_(*this, header->type, std::string(bytes.substr(sizeof head)));
    return true;
  }
  void Kill() override {
    killed_ = true;
    End();
  }

  std::vector<std::string> written;  // the frames the session sent

 private:
  bool& killed_;
  Script script_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool ended_ = false;
};

class Owner final : public TwainOwner {
 public:
  TW_HANDLE Window() const override { return nullptr; }
  bool OnScannedImage(TW_HANDLE dib) override {
    const auto* bytes = static_cast<const char*>(LockMemory(dib));
    pages.emplace_back(bytes, MemorySize(dib));
    UnlockMemory(dib);
    return keep;
  }
  std::vector<std::string> pages;
  bool keep = true;
};

std::size_t LinesNaming(const std::string& text) {
  const std::vector<std::string> lines = RecentLogLines();
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
    return line.find(text) != std::string::npos;
  }));
}

class WorkerScanSessionTest : public ::testing::Test {
 protected:
  // Each start makes a worker that answers its start with `ready` and then follows `script`.
  WorkerLauncher Launcher(bool ready = true) {
    return [this, ready](std::string&) -> std::unique_ptr<WorkerProcess> {
      auto fake = std::make_unique<FakeWorker>(
          [this](FakeWorker& self, FrameType command, const std::string& payload) {
            if (script) script(self, command, payload);
          },
          killed.emplace_back(false));
      if (ready)
        fake->Send(EncodeFrame(FrameType::kReady));
      else
        fake->End();
      workers.push_back(fake.get());
      return fake;
    };
  }
  WorkerScanSession Session(std::string name, bool ready = true) {
    return WorkerScanSession(
        owner, Launcher(ready), [this] { Wake(); }, nullptr, std::move(name),
        WorkerScanSession::Bounds{std::chrono::milliseconds(2000), std::chrono::milliseconds(200)});
  }
  void Wake() {
    std::lock_guard lock(mutex);
    ++wakes;
    woken.notify_all();
  }
  bool WaitForWake(int count) {
    std::unique_lock lock(mutex);
    return woken.wait_for(lock, std::chrono::seconds(10), [&] { return wakes >= count; });
  }

  Owner owner;
  FakeWorker::Script script;
  std::vector<FakeWorker*> workers;  // owned by the session; valid while it runs them
  std::deque<bool> killed;           // one a worker, kept after the session destroys it
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
};

TEST_F(WorkerScanSessionTest, APageIsHandedOverWithTheWorkersBytesAndItsTakingIsAnswered) {
  std::string dib(4096, '\0');
  for (std::size_t i = 0; i < dib.size(); ++i) dib[i] = static_cast<char>(i * 7);
  script = [&](FakeWorker& self, FrameType command, const std::string&) {
    if (command != FrameType::kAcquire) return;
    self.Send(EncodeFrame(FrameType::kAcquireStarted) + EncodeFrame(FrameType::kPage, dib));
  };
  WorkerScanSession session = Session("worker A");
  ASSERT_TRUE(session.Acquire());
  ASSERT_TRUE(WaitForWake(1));
  EXPECT_TRUE(session.Busy());
  session.ProcessMessage(PlatformMessage{});
  ASSERT_EQ(owner.pages.size(), 1u);
  EXPECT_EQ(owner.pages[0].substr(0, dib.size()), dib);
  EXPECT_EQ(workers[0]->written.back(),
            EncodeFrame(FrameType::kPageTaken, worker::EncodeFlag(true)));
}

TEST_F(WorkerScanSessionTest, AWorkerThatDiesFailsTheScanWithOneLineAndIsStartedAgainOnce) {
  script = [](FakeWorker& self, FrameType command, const std::string&) {
    if (command == FrameType::kAcquire) self.End();
  };
  WorkerScanSession session = Session("worker B");
  EXPECT_FALSE(session.Acquire());
  EXPECT_EQ(LinesNaming("worker B failed: it ended"), 1u);
  EXPECT_EQ(workers.size(), 2u);  // started again, ready for the next scan
}

TEST_F(WorkerScanSessionTest, AWorkerThatDoesNotAnswerWithinItsBoundIsEnded) {
  WorkerScanSession session = Session("worker C");
  EXPECT_FALSE(session.Acquire());
  EXPECT_EQ(LinesNaming("worker C failed: it did not answer a scan within 200 ms"), 1u);
  EXPECT_TRUE(killed[0]);
  EXPECT_EQ(workers.size(), 2u);
}

TEST_F(WorkerScanSessionTest, AnOversizedFrameFailsTheScan) {
  script = [](FakeWorker& self, FrameType command, const std::string&) {
    if (command != FrameType::kAcquire) return;
    std::string header = EncodeFrame(FrameType::kPage);
    const uint32_t length = worker::kMaxPageBytes + 1;
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>(length >> (8 * i));
    self.Send(header);
  };
  WorkerScanSession session = Session("worker D");
  EXPECT_FALSE(session.Acquire());
  EXPECT_EQ(LinesNaming("worker D failed: it sent a frame of type 105 of 268435457 bytes"), 1u);
  EXPECT_TRUE(killed[0]);
}

TEST_F(WorkerScanSessionTest, AWorkerStartedAgainThatFailsIsNotStartedAThirdTime) {
  bool first = true;
  script = [&](FakeWorker& self, FrameType command, const std::string&) {
    if (command == FrameType::kAcquire) self.End();
  };
  WorkerScanSession session(
      owner,
      [&](std::string& error) {
        std::unique_ptr<WorkerProcess> worker = Launcher(first)(error);
        first = false;
        return worker;
      },
      [this] { Wake(); }, nullptr, "worker E",
      {std::chrono::milliseconds(2000), std::chrono::milliseconds(200)});
  EXPECT_FALSE(session.Acquire());
  EXPECT_EQ(workers.size(), 2u);
  EXPECT_EQ(LinesNaming("worker E failed"), 2u);  // the scan's, then the restart's
}

TEST_F(WorkerScanSessionTest, APageThatCameBeforeTheWorkerDiedIsStillHandedOver) {
  script = [](FakeWorker& self, FrameType command, const std::string&) {
    if (command != FrameType::kAcquire) return;
    self.Send(EncodeFrame(FrameType::kAcquireStarted) +
              EncodeFrame(FrameType::kPage, std::string(100, 'd')));
    self.End();
  };
  WorkerScanSession session = Session("worker F");
  ASSERT_TRUE(session.Acquire());
  ASSERT_TRUE(WaitForWake(2));  // the page, then the fault
  session.ProcessMessage(PlatformMessage{});
  ASSERT_EQ(owner.pages.size(), 1u);
  EXPECT_EQ(owner.pages[0].substr(0, 100), std::string(100, 'd'));
  EXPECT_EQ(workers.size(), 2u);
  EXPECT_TRUE(workers[1]->written.empty());  // the new worker is told nothing of the old page
}

}  // namespace
}  // namespace dralmin
