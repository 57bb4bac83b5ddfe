// The scanning session against a simulated scanner, loaded as the agent loads the real one: on
// POSIX systems the simulated manager library, through the system loader; on Windows the
// system's own manager (TWAIN_32.DLL, Wine's under Wine) with the simulated data source installed
// where that manager looks for sources.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include <fstream>
#include <iterator>
#endif

#include "DibImages.h"
#include "devices/scanning/CTwain.h"
#include "devices/scanning/ScanQueue.h"
#include "devices/scanning/SourceManagerLibrary.h"
#include "devices/scanning/TwainScanSession.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using Shown = std::vector<std::pair<std::string, std::string>>;

#ifdef _WIN32
// The simulated source reads the process's environment through the system.
void SetVariable(const char* name, const char* value) {
  SetEnvironmentVariableA(name, value);
}
void UnsetVariable(const char* name) {
  SetEnvironmentVariableA(name, nullptr);
}

std::string ReadFile(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Puts the simulated source (sane.ds, built beside this program) where Wine's manager of this
// program's bitness looks for sources, C:\windows\twain_64 (twain_32 for a 32-bit one), unless
// the same file is there already (another test program may have it loaded).
void InstallSource() {
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring built(program);
  built = built.substr(0, built.find_last_of(L"\\/") + 1) + L"sane.ds";
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring folder =
      std::wstring(windows) + (sizeof(void*) == 8 ? L"\\twain_64" : L"\\twain_32");
  const std::wstring installed = folder + L"\\sane.ds";
  const std::string wanted = ReadFile(built);
  ASSERT_FALSE(wanted.empty()) << "no simulated source beside the test program";
  if (ReadFile(installed) == wanted) return;
  CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(built.c_str(), installed.c_str(), FALSE)) << GetLastError();
}

// A window of this thread, as the agent's hidden one: the manager posts its notices to it. Only
// for messages, so that no display is needed.
class TestWindow {
 public:
  TestWindow()
      : window_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr)) {}
  ~TestWindow() { DestroyWindow(window_); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  TW_HANDLE Handle() const { return window_; }

 private:
  HWND window_;
};
#else
void SetVariable(const char* name, const char* value) {
  setenv(name, value, 1);
}
void UnsetVariable(const char* name) {
  unsetenv(name);
}
#endif

class QueueOwner final : public TwainOwner {
 public:
  explicit QueueOwner(ScanQueue& queue) : queue_(queue) {}
#ifdef _WIN32
  TW_HANDLE Window() const override {
    return window_.Handle();
  }
#else
  TW_HANDLE Window() const override {
    return reinterpret_cast<TW_HANDLE>(0x77);
  }
#endif
  bool OnScannedImage(TW_HANDLE dib) override {
    return queue_.OnScannedImage(dib);
  }

 private:
  ScanQueue& queue_;
#ifdef _WIN32
  TestWindow window_;
#endif
};

class SimulatedScannerTest : public ::testing::Test {
 protected:
  SimulatedScannerTest() {
    for (const char* name : kVariables) UnsetVariable(name);
  }
  ~SimulatedScannerTest() override {
    for (const char* name : kVariables) UnsetVariable(name);
  }

#ifdef _WIN32
  static void SetUpTestSuite() {
    InstallSource();
  }

  static std::unique_ptr<SourceManagerLibrary> Manager() {
    return std::make_unique<DlopenSourceManagerLibrary>("TWAIN_32.DLL");
  }

  // Offers every message of this thread's queue, as the agent's event loop does, a few rounds:
  // the simulated source posts one when it has something to tell, the manager its own notice.
  void Offer(CTwain& session, int times = 3) {
    for (int i = 0; i < times; ++i) OfferOnce(session);
  }
  void OfferOnce(CTwain& session) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      session.ProcessMessage(PlatformMessage{msg.hwnd, PlatformMessage::kNative, &msg});
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
#else
  static std::unique_ptr<SourceManagerLibrary> Manager() {
    return std::make_unique<DlopenSourceManagerLibrary>(DRALMIN_TWAIN_SIM_PATH);
  }

  // The simulated source answers the first offered message; a few more must change nothing.
  void Offer(CTwain& session, int times = 3) {
    for (int i = 0; i < times; ++i) OfferOnce(session);
  }
  void OfferOnce(CTwain& session) {
    session.ProcessMessage(PlatformMessage{});
  }
#endif

  std::unique_ptr<CTwain> Session() {
    return std::make_unique<CTwain>(owner, Manager());
  }

  std::vector<test::DecodedJpeg> Drain() {
    std::vector<test::DecodedJpeg> pages;
    while (std::optional<std::string> page = test::TakePage(queue)) {
      pages.push_back(test::DecodeJpeg(*page));
    }
    return pages;
  }

  static constexpr const char* kVariables[] = {
      "DRALMIN_TWAIN_SIM_PAGES",     "DRALMIN_TWAIN_SIM_XFERCOUNT",
      "DRALMIN_TWAIN_SIM_FAIL_PAGE", "DRALMIN_TWAIN_SIM_CANCEL_PAGE",
      "DRALMIN_TWAIN_SIM_NO_SOURCE", "DRALMIN_TWAIN_SIM_USERSELECT",
      "DRALMIN_TWAIN_SIM_CLOSE",     "DRALMIN_TWAIN_SIM_READY"};

  test::TempFolder folder;
  test::RecordingMessageBox messages;
  ScanQueue queue{messages, folder.path()};
  QueueOwner owner{queue};
};

TEST_F(SimulatedScannerTest, ThreePagesArriveAsJpegInTheSourcesOrder) {
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "24x2480x3508,8x640x480,1x1001x700");
  auto session = Session();
  ASSERT_TRUE(session->IsSourceManagerOpen());

  std::atomic<bool> acquired{false};
  std::thread poll([&] { acquired = session->Acquire(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (queue.Size() < 3 && std::chrono::steady_clock::now() < deadline) {
    OfferOnce(*session);
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
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "8x20x20,24x30x30");
  SetVariable("DRALMIN_TWAIN_SIM_XFERCOUNT", "checkstatus");
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(queue.Size(), 2u);
}

TEST_F(SimulatedScannerTest, StartFailsWithoutSource) {
  SetVariable("DRALMIN_TWAIN_SIM_NO_SOURCE", "1");
  EXPECT_FALSE(Session()->Acquire());
}

TEST_F(SimulatedScannerTest, StartFailsWhenTheCountIsRefused) {
  SetVariable("DRALMIN_TWAIN_SIM_XFERCOUNT", "fail");
  auto session = Session();
  EXPECT_FALSE(session->Acquire());
  EXPECT_EQ(session->LastReturnCode(), TWRC_FAILURE);
  EXPECT_EQ(session->LastStatus().ConditionCode, TWCC_BADVALUE);
}

TEST_F(SimulatedScannerTest, FailedTransferDropsTheRestCancelledOneOnlyItself) {
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,24x16x16,24x16x16");
  SetVariable("DRALMIN_TWAIN_SIM_FAIL_PAGE", "2");
  {
    auto session = Session();
    ASSERT_TRUE(session->Acquire());
    Offer(*session);
    EXPECT_EQ(Drain().size(), 1u);
  }
  UnsetVariable("DRALMIN_TWAIN_SIM_FAIL_PAGE");
  SetVariable("DRALMIN_TWAIN_SIM_CANCEL_PAGE", "2");
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(Drain().size(), 2u);
}

TEST_F(SimulatedScannerTest, EachScanDeliversItsPagesEvenAfterAFailedOne) {
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,8x20x20");
  auto session = Session();
  for (int scan = 1; scan <= 2; ++scan) {
    ASSERT_TRUE(session->Acquire()) << scan;  // the second finds the source still enabled
    Offer(*session);
    EXPECT_EQ(Drain().size(), 2u) << scan;
  }

  // The second page is too wide to convert: the run ends there, and the next scan works.
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "24x16x16,24x50001x1");
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
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "4x33x17");
  SetVariable("DRALMIN_TWAIN_SIM_CLOSE", "1");
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
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "16x40x40,32x40x40,24x40x40");
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  Offer(*session);
  EXPECT_EQ(messages.shown, (Shown{{"Invalid bit count", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"},
                                   {"Invalid bit count", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"}}));
  ASSERT_EQ(queue.Size(), 3u);
  EXPECT_EQ(test::TakePage(queue), std::string());
  EXPECT_EQ(test::TakePage(queue), std::string());
  EXPECT_TRUE(test::DecodeJpeg(*test::TakePage(queue)).ok);
}

#ifdef _WIN32
// A source of the newer kind tells the manager that pages are ready, and the manager posts its
// own notice to the application's window; one that fails in the middle of a run ends the run
// cleanly, and the next scan starts afresh.
TEST_F(SimulatedScannerTest, ManagersNoticeDeliversPagesAndAFailingSourceEndsTheRun) {
  SetVariable("DRALMIN_TWAIN_SIM_READY", "notify");
  SetVariable("DRALMIN_TWAIN_SIM_PAGES", "24x40x30,8x50x20,24x16x16");
  SetVariable("DRALMIN_TWAIN_SIM_FAIL_PAGE", "3");
  auto session = Session();
  for (int scan = 1; scan <= 2; ++scan) {
    ASSERT_TRUE(session->Acquire()) << scan;
    Offer(*session);
    std::vector<test::DecodedJpeg> pages = Drain();
    ASSERT_EQ(pages.size(), 2u) << scan;
    EXPECT_EQ(pages[1].width, 50);
    EXPECT_FALSE(session->IsSourceEnabled());
    EXPECT_TRUE(session->IsSourceOpen());
  }
  EXPECT_TRUE(messages.shown.empty());
}
#else
// The manager's selection dialog is the system's own on Windows, with nobody to answer it here.
TEST_F(SimulatedScannerTest, SelectionFindsTheSimulatedScanner) {
  auto session = Session();
  EXPECT_TRUE(session->SelectSource());
  EXPECT_STREQ(session->SourceIdentity().ProductName, "Simulated Scanner");
  SetVariable("DRALMIN_TWAIN_SIM_NO_SOURCE", "1");
  auto none = Session();
  EXPECT_FALSE(none->SelectSource());
}

#endif

TEST_F(SimulatedScannerTest, EachScanFirstListsTheSourcesForTheStatusPage) {
  ScannerListing listing;
  TwainScanSession session(owner, Manager(), &listing);
  EXPECT_FALSE(listing.Get().scanners);
  ASSERT_TRUE(session.Acquire());
  const std::optional<std::vector<std::string>> scanners = listing.Get().scanners;
  ASSERT_TRUE(scanners);
  // The system's own manager (Windows) may list other sources beside it.
  EXPECT_NE(std::find(scanners->begin(), scanners->end(), "Simulated Scanner"), scanners->end());
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
