// The scanning session against the simulated manager library, loaded through the system loader
// as the agent loads the real one.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "DibImages.h"
#include "devices/scanning/CTwain.h"
#include "devices/scanning/ScanQueue.h"
#include "devices/scanning/SourceManagerLibrary.h"

namespace dralmin {
namespace {

using Shown = std::vector<std::pair<std::string, std::string>>;

class QueueOwner final : public TwainOwner {
 public:
  explicit QueueOwner(ScanQueue& queue) : queue_(queue) {}
  TW_HANDLE Window() const override { return reinterpret_cast<TW_HANDLE>(0x77); }
  void OnScannedImage(TW_HANDLE dib) override { queue_.OnScannedImage(dib); }

 private:
  ScanQueue& queue_;
};

class SimulatedScannerTest : public ::testing::Test {
 protected:
  SimulatedScannerTest() {
    for (const char* name : kVariables) unsetenv(name);
  }
  ~SimulatedScannerTest() override {
    for (const char* name : kVariables) unsetenv(name);
  }

  std::unique_ptr<CTwain> Session() {
    return std::make_unique<CTwain>(
        owner, std::make_unique<DlopenSourceManagerLibrary>(DRALMIN_TWAIN_SIM_PATH));
  }

  // The simulated source answers the first offered message; a few more must change nothing.
  void Offer(CTwain& session, int times = 3) {
    for (int i = 0; i < times; ++i) session.ProcessMessage(PlatformMessage{});
  }

  std::vector<test::DecodedJpeg> Drain() {
    std::vector<test::DecodedJpeg> pages;
    while (std::optional<std::string> page = queue.TakeFront()) {
      pages.push_back(test::DecodeJpeg(*page));
    }
    return pages;
  }

  static constexpr const char* kVariables[] = {
      "DRALMIN_TWAIN_SIM_PAGES",     "DRALMIN_TWAIN_SIM_XFERCOUNT",
      "DRALMIN_TWAIN_SIM_FAIL_PAGE", "DRALMIN_TWAIN_SIM_CANCEL_PAGE",
      "DRALMIN_TWAIN_SIM_NO_SOURCE", "DRALMIN_TWAIN_SIM_USERSELECT",
      "DRALMIN_TWAIN_SIM_CLOSE"};

  test::RecordingMessageBox messages;
  ScanQueue queue{messages};
  QueueOwner owner{queue};
};

// Acquire runs on its own thread, as the gateway's poll thread calls it, while this thread keeps
// offering messages as the user-interface thread does.
TEST_F(SimulatedScannerTest, ThreePagesArriveAsJpegInTheSourcesOrder) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "24x2480x3508,8x640x480,1x1001x700", 1);
  auto session = Session();
  ASSERT_TRUE(session->IsSourceManagerOpen());

  std::atomic<bool> acquired{false};
  std::thread poll([&] { acquired = session->Acquire(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (queue.Size() < 3 && std::chrono::steady_clock::now() < deadline) {
    session->ProcessMessage(PlatformMessage{});
    std::this_thread::yield();
  }
  poll.join();
  ASSERT_TRUE(acquired);

  std::vector<test::DecodedJpeg> pages = Drain();
  ASSERT_EQ(pages.size(), 3u);
  const int sizes[3][2] = {{2480, 3508}, {640, 480}, {1001, 700}};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pages[i].ok) << i;
    EXPECT_EQ(pages[i].width, sizes[i][0]);
    EXPECT_EQ(pages[i].height, sizes[i][1]);
    EXPECT_EQ(pages[i].components, 3);
  }
  // The simulated picture: a dark blue rectangle upper left, a red disc lower right.
  const test::DecodedJpeg& a4 = pages[0];
  EXPECT_TRUE(test::Near(a4.At(a4.width / 4, a4.height / 4), 0x1414A0));
  EXPECT_TRUE(test::Near(a4.At(2 * a4.width / 3, 2 * a4.height / 3), 0xC81E1E));
  const uint32_t disc = pages[1].At(2 * 640 / 3, 2 * 480 / 3);
  EXPECT_GT(disc >> 16, ((disc >> 8) & 0xFF) + 100);  // red through the 8-bit palette
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_TRUE(session->IsSourceEnabled());  // the scanner's window stays open
}

TEST_F(SimulatedScannerTest, SourceRefusingMinusOneGetsItsOwnCount) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "8x20x20,24x30x30", 1);
  setenv("DRALMIN_TWAIN_SIM_XFERCOUNT", "checkstatus", 1);
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(queue.Size(), 2u);
}

TEST_F(SimulatedScannerTest, StartFailsWithoutSourceOrWhenTheCountIsRefused) {
  setenv("DRALMIN_TWAIN_SIM_NO_SOURCE", "1", 1);
  EXPECT_FALSE(Session()->Acquire());
  unsetenv("DRALMIN_TWAIN_SIM_NO_SOURCE");

  setenv("DRALMIN_TWAIN_SIM_XFERCOUNT", "fail", 1);
  auto session = Session();
  EXPECT_FALSE(session->Acquire());
  EXPECT_EQ(session->LastReturnCode(), TWRC_FAILURE);
  EXPECT_EQ(session->LastStatus().ConditionCode, TWCC_BADVALUE);
}

TEST_F(SimulatedScannerTest, FailedTransferDropsTheRestCancelledOneOnlyItself) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,24x16x16,24x16x16", 1);
  setenv("DRALMIN_TWAIN_SIM_FAIL_PAGE", "2", 1);
  {
    auto session = Session();
    ASSERT_TRUE(session->Acquire());
    Offer(*session);
    EXPECT_EQ(Drain().size(), 1u);
  }
  unsetenv("DRALMIN_TWAIN_SIM_FAIL_PAGE");
  setenv("DRALMIN_TWAIN_SIM_CANCEL_PAGE", "2", 1);
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(Drain().size(), 2u);
}

TEST_F(SimulatedScannerTest, EachScanDeliversItsPagesEvenAfterAFailedOne) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,8x20x20", 1);
  auto session = Session();
  for (int scan = 1; scan <= 2; ++scan) {
    ASSERT_TRUE(session->Acquire()) << scan;  // the second finds the source still enabled
    Offer(*session);
    EXPECT_EQ(Drain().size(), 2u) << scan;
  }

  // The second page is too wide to convert: the run ends there, and the next scan works.
  setenv("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,24x50001x1", 1);
  session.reset();
  session = Session();
  for (int scan = 1; scan <= 2; ++scan) {
    ASSERT_TRUE(session->Acquire()) << scan;
    Offer(*session);
    EXPECT_EQ(Drain().size(), 1u) << scan;
    EXPECT_FALSE(session->IsSourceEnabled());
  }
}

TEST_F(SimulatedScannerTest, SourceAskingToCloseIsClosedAndCanScanAgain) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "4x33x17", 1);
  setenv("DRALMIN_TWAIN_SIM_CLOSE", "1", 1);
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_FALSE(session->IsSourceOpen());
  EXPECT_TRUE(session->IsSourceManagerOpen());
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  std::vector<test::DecodedJpeg> pages = Drain();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_TRUE(pages[0].ok && pages[1].ok);
  EXPECT_EQ(pages[1].width, 33);
}

TEST_F(SimulatedScannerTest, UnsupportedPageIsToldAndQueuedEmpty) {
  setenv("DRALMIN_TWAIN_SIM_PAGES", "16x40x40,32x40x40,24x40x40", 1);
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(messages.shown, (Shown{{"Invalid bit count", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"},
                                   {"Invalid bit count", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"}}));
  ASSERT_EQ(queue.Size(), 3u);
  EXPECT_EQ(queue.TakeFront(), std::string());
  EXPECT_EQ(queue.TakeFront(), std::string());
  EXPECT_TRUE(test::DecodeJpeg(*queue.TakeFront()).ok);
}

TEST_F(SimulatedScannerTest, SelectionFindsTheSimulatedScanner) {
  auto session = Session();
  EXPECT_TRUE(session->SelectSource());
  EXPECT_STREQ(session->SourceIdentity().ProductName, "Simulated Scanner");
  setenv("DRALMIN_TWAIN_SIM_NO_SOURCE", "1", 1);
  auto none = Session();
  EXPECT_FALSE(none->SelectSource());
}

TEST_F(SimulatedScannerTest, MissingLibraryLeavesTheSessionUnloaded) {
  auto library = std::make_unique<DlopenSourceManagerLibrary>("/nonexistent/libtwaindsm.so");
  DlopenSourceManagerLibrary* raw = library.get();
  CTwain session(owner, std::move(library));
  EXPECT_FALSE(session.IsLoaded());
  EXPECT_FALSE(session.Acquire());
  EXPECT_NE(raw->error().find("/nonexistent/libtwaindsm.so"), std::string::npos);
}

}  // namespace
}  // namespace dralmin
