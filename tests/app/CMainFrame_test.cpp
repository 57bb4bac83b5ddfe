#include "app/CMainFrame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/TrayIcon.h"
#include "devices/barcode/PendingBarcode.h"
#include "devices/scanning/TwainScanSession.h"
#include "gateway/GatewayServer.h"
#include "tests/app/QtTestApplication.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Return;

// What happened, in order, from any thread.
class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class MockDriver : public ScannerDriver {
 public:
  explicit MockDriver(Journal& journal) : journal_(journal) {}
  ~MockDriver() override { journal_.Add("driver released"); }
  MOCK_METHOD(bool, Advise, (ScannerDriverEvents&), (override));
  MOCK_METHOD(void, Unadvise, (), (override));
  MOCK_METHOD(int32_t, OpenScanners, (int32_t, const std::vector<int16_t>&, int32_t, int32_t&),
              (override));
  MOCK_METHOD(int32_t, RunCommand, (int32_t, const std::string&, std::string&, int32_t&),
              (override));

 private:
  Journal& journal_;
};

// A data source manager that records the messages it gets.
std::mutex managerMutex;
std::vector<TW_UINT16> managerMessages;
TW_UINT16 TW_CALLINGSTYLE FakeEntry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16,
                                    TW_UINT16 message, TW_MEMREF) {
  std::lock_guard lock(managerMutex);
  managerMessages.push_back(message);
  return TWRC_SUCCESS;
}
std::vector<TW_UINT16> ManagerMessages() {
  std::lock_guard lock(managerMutex);
  return managerMessages;
}

class FakeLibrary : public SourceManagerLibrary {
 public:
  explicit FakeLibrary(Journal& journal) : journal_(journal) {}
  DSMENTRYPROC Load() override { return &FakeEntry; }
  void Unload() override { journal_.Add("twain released"); }

 private:
  Journal& journal_;
};

class EmptyReplies : public RequestHandler {
 public:
  std::string HandleRequest(const Request&) override { return {}; }
};

class CMainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureQtApplication();
    std::lock_guard lock(managerMutex);
    managerMessages.clear();
  }

  // Every part present, each recording its creation and release in the journal.
  CMainFrame::Parts Parts() {
    CMainFrame::Parts parts;
    parts.makeTrayIcon = [this](const CMainFrame::TrayCommands& commands) {
      journal_.Add("tray icon");
      auto tray =
          std::make_unique<TrayIcon>(TrayIcon::Commands{commands.selectScanner, commands.settings,
                                                        commands.status, commands.exit},
                                     [] { return true; });
      QObject::connect(tray.get(), &QObject::destroyed, [this] {
        // The gateway must be down by now: nothing listens on its port any more.
        journal_.Add(test::Socket(port_).ok() ? "tray icon released, gateway up"
                                              : "tray icon released");
      });
      return tray;
    };
    parts.makeGateway = [this] {
      journal_.Add("gateway");
      GatewaySettings settings;
      settings.httpPort = 0;
      auto server = std::make_unique<GatewayServer>(settings, replies_);
      port_ = server->HttpPort();
      return server;
    };
    parts.onGatewayFailure = [this](const std::string& what) { journal_.Add("failed: " + what); };
    parts.makeScannerDriver = [this]() -> std::unique_ptr<ScannerDriver> {
      journal_.Add("driver");
      auto driver = std::make_unique<MockDriver>(journal_);
      EXPECT_CALL(*driver, Advise(_)).WillOnce(Return(true));
      EXPECT_CALL(*driver, OpenScanners(0, ElementsAre(1, 0, 0, 0, 0, 0, 0, 0), 1, _));
      EXPECT_CALL(*driver, RunCommand(1001,
                                      "<inArgs><cmdArgs><arg-int>1</arg-int><arg-int>1</arg-int>"
                                      "</cmdArgs></inArgs>",
                                      _, _));
      EXPECT_CALL(*driver, Unadvise());
      return driver;
    };
    parts.makeScanSession = [this](TwainOwner& owner) {
      ++librariesMade_;
      return std::make_unique<TwainScanSession>(owner, std::make_unique<FakeLibrary>(journal_));
    };
    parts.showSettings = [this] { journal_.Add("settings"); };
    return parts;
  }

  Journal journal_;
  EmptyReplies replies_;
  std::atomic<uint16_t> port_{0};
  std::atomic<int> librariesMade_{0};
  PendingBarcode barcode_;
};

TEST_F(CMainFrameTest, BringsThePartsUpInOrderAndTakesThemDownInOrder) {
  {
    CMainFrame frame(Parts(), barcode_);
    frame.Create();
    ASSERT_TRUE(test::WaitFor([&] { return port_ != 0; }, 5s));
    ASSERT_TRUE(test::WaitFor([&] { return test::Socket(port_).ok(); }, 5s));
    frame.GetScanSession();
    const std::vector<std::string> started = journal_.Entries();
    // The gateway starts on its own thread, so only its place after the tray icon is fixed.
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[0], "tray icon");
    EXPECT_THAT(started, ::testing::UnorderedElementsAre("tray icon", "gateway", "driver"));
  }
  const std::vector<std::string> all = journal_.Entries();
  EXPECT_EQ(std::vector<std::string>(all.begin() + 3, all.end()),
            (std::vector<std::string>{"tray icon released", "driver released", "twain released"}));
}

TEST_F(CMainFrameTest, WithoutADriverOrATrayTheFrameStillStarts) {
  CMainFrame::Parts parts = Parts();
  parts.makeTrayIcon = nullptr;
  parts.makeScannerDriver = [] { return nullptr; };
  CMainFrame frame(std::move(parts), barcode_);
  frame.Create();
  EXPECT_EQ(frame.GetTrayIcon(), nullptr);
  ASSERT_NE(frame.GetScannerCommands(), nullptr);
  EXPECT_FALSE(frame.GetScannerCommands()->IsDriverAvailable());
  EXPECT_TRUE(test::WaitFor([&] { return port_ != 0; }, 5s));
  EXPECT_EQ(librariesMade_, 0);  // the scanning session is made on first use only
}

TEST_F(CMainFrameTest, OneScanningSessionWhicheverThreadAsksFirst) {
  CMainFrame frame(Parts(), barcode_);
  frame.Create();
  ScanSession* fromPoll = nullptr;
  std::thread poll([&] { fromPoll = &frame.GetScanSession(); });
  ScanSession* fromMenu = &frame.GetScanSession();
  poll.join();
  EXPECT_EQ(fromPoll, fromMenu);
  EXPECT_EQ(librariesMade_, 1);

  // The menu's scanner selection shows the manager's selection dialog of that same session.
  frame.GetTrayIcon()->Menu().actions()[0]->trigger();
  frame.GetTrayIcon()->Menu().actions()[0]->trigger();
  EXPECT_EQ(librariesMade_, 1);
  const std::vector<TW_UINT16> messages = ManagerMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), MSG_USERSELECT), 2);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), MSG_OPENDSM), 1);
}

// A session that records the messages offered to it.
class OfferedSession final : public ScanSession {
 public:
  explicit OfferedSession(Journal& journal) : journal_(journal) {}
  ~OfferedSession() override { journal_.Add("session released"); }
  bool Acquire() override { return false; }
  void SelectSource() override {}
  bool WantsMessages() const override { return true; }
  void ProcessMessage(const PlatformMessage& message) override {
    journal_.Add(message.kind == PlatformMessage::kNative ? "native" : "idle");
  }

 private:
  Journal& journal_;
};

// Where the system's messages are offered, they alone reach the session, on the frame's thread
// once the session exists; the window given is the session's parent.
TEST_F(CMainFrameTest, EveryMessageOfferedReachesTheSessionInsteadOfIdleOffers) {
  std::function<void(const PlatformMessage&)> offer;
  int window = 0;
  {
    CMainFrame::Parts parts;
    parts.window = &window;
    parts.offerEveryMessage = [&](std::function<void(const PlatformMessage&)> to) {
      offer = std::move(to);
      journal_.Add("offers");
      return std::shared_ptr<void>(nullptr, [this](void*) { journal_.Add("offers ended"); });
    };
    parts.makeScanSession = [this](TwainOwner&) -> std::unique_ptr<ScanSession> {
      return std::make_unique<OfferedSession>(journal_);
    };
    CMainFrame frame(std::move(parts), barcode_);
    EXPECT_EQ(frame.Window(), &window);
    frame.GetScanSession();
    ASSERT_TRUE(test::WaitFor(
        [&] {
          QCoreApplication::processEvents();
          return static_cast<bool>(offer);
        },
        5s));
    const int message = 0;
    offer(PlatformMessage{&window, PlatformMessage::kNative, &message});
    // Long enough for idle offers, were there any.
    const auto until = std::chrono::steady_clock::now() + 4 * CMainFrame::kOfferInterval;
    while (std::chrono::steady_clock::now() < until) QCoreApplication::processEvents();
  }
  EXPECT_EQ(journal_.Entries(),
            (std::vector<std::string>{"offers", "native", "offers ended", "session released"}));
}

// A session that records the thread a scan starts on.
class ThreadRecordingSession final : public ScanSession {
 public:
  bool Acquire() override {
    acquiredOn = std::this_thread::get_id();
    return true;
  }
  void SelectSource() override {}
  std::thread::id acquiredOn;
};

// Where the manager belongs to the frame's thread, the session is made and a scan the poll thread
// starts runs there, and its outcome comes back; a poll thread still waiting when the frame goes
// down is released.
TEST_F(CMainFrameTest, ScansStartedFromThePollThreadRunOnTheFrameThread) {
  auto owned = std::make_unique<ThreadRecordingSession>();
  ThreadRecordingSession* session = owned.get();
  CMainFrame* frame = nullptr;
  std::atomic<int> first{-1};
  std::atomic<int> second{-1};
  std::atomic<bool> loopStopped{false};
  CMainFrame::Parts parts;
  parts.scanOnFrameThread = true;
  std::thread::id madeOn;
  parts.makeScanSession = [&](TwainOwner&) -> std::unique_ptr<ScanSession> {
    madeOn = std::this_thread::get_id();
    return std::move(owned);
  };
  parts.makeGateway = [&]() -> std::unique_ptr<GatewayServer> {
    first = frame->GetScanSession().Acquire() ? 1 : 0;
    while (!loopStopped) std::this_thread::sleep_for(1ms);
    second = frame->GetScanSession().Acquire() ? 1 : 0;
    return nullptr;
  };
  parts.onGatewayFailure = [](const std::string&) {};
  {
    CMainFrame made(std::move(parts), barcode_);
    frame = &made;
    made.Create();
    ASSERT_TRUE(test::WaitFor(
        [&] {
          QCoreApplication::processEvents();
          return first != -1;
        },
        5s));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(madeOn, std::this_thread::get_id());
    EXPECT_EQ(session->acquiredOn, std::this_thread::get_id());
    loopStopped = true;  // nobody turns the event loop from here on
  }
  EXPECT_EQ(second, 0);
}

TEST_F(CMainFrameTest, SettingsItemRunsTheDialogCommand) {
  CMainFrame frame(Parts(), barcode_);
  frame.Create();
  frame.GetTrayIcon()->Menu().actions()[1]->trigger();
  const std::vector<std::string> entries = journal_.Entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "settings"), 1);
}

TEST_F(CMainFrameTest, ExitItemEndsTheEventLoopWithZero) {
  CMainFrame frame(Parts(), barcode_);
  frame.Create();
  QTimer::singleShot(0, [&] { frame.GetTrayIcon()->Menu().actions()[3]->trigger(); });
  // A watchdog for the test itself: a loop that does not end fails instead of hanging.
  QTimer::singleShot(10s, [] { QCoreApplication::exit(99); });
  EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST_F(CMainFrameTest, AGatewayThatCannotStartIsReportedFromThePollThread) {
  CMainFrame::Parts parts = Parts();
  parts.makeGateway = []() -> std::unique_ptr<GatewayServer> {
    throw ListenerError("127.0.0.1", 8081, "Address already in use");
  };
  CMainFrame frame(std::move(parts), barcode_);
  frame.Create();
  EXPECT_TRUE(test::WaitFor(
      [&] {
        const auto entries = journal_.Entries();
        return std::count(entries.begin(), entries.end(),
                          "failed: cannot listen on 127.0.0.1:8081: Address already in use");
      },
      5s));
}

}  // namespace
}  // namespace dralmin
