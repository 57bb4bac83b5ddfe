#include "devices/scanning/ScanQueue.h"

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "DibImages.h"
#include "platform/MemoryHandle.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using Shown = std::vector<std::pair<std::string, std::string>>;

TW_HANDLE InHandle(const std::vector<uint8_t>& bytes) {
  TW_HANDLE handle = AllocateMemory(bytes.size());
  std::memcpy(LockMemory(handle), bytes.data(), bytes.size());
  UnlockMemory(handle);
  return handle;
}

std::vector<uint8_t> Page(int bits, int width, int height) {
  test::DibLayout layout{bits, width, height};
  if (bits <= 8) layout.palette.assign(1u << bits, 0x808080);
  return test::BuildDib(layout, [](int, int) -> uint32_t { return 0; });
}

class ScanQueueTest : public ::testing::Test {
 protected:
  void Scan(const std::vector<uint8_t>& dib) {
    TW_HANDLE handle = InHandle(dib);
    queue.OnScannedImage(handle);
    FreeMemory(handle);
  }

  test::TempFolder folder;
  test::RecordingMessageBox messages;
  ScanQueue queue{messages, folder.path()};
};

TEST_F(ScanQueueTest, PagesAreQueuedAsJpegInScanningOrder) {
  Scan(Page(24, 31, 20));
  Scan(Page(8, 17, 40));
  Scan(Page(1, 1001, 7));
  ASSERT_EQ(queue.Size(), 3u);
  const int widths[] = {31, 17, 1001};
  for (int width : widths) {
    std::optional<std::string> page = test::TakePage(queue);
    ASSERT_TRUE(page);
    test::DecodedJpeg jpeg = test::DecodeJpeg(*page);
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, width);
    EXPECT_EQ(jpeg.components, 3);
  }
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.Front());
  EXPECT_TRUE(messages.shown.empty());
}

TEST_F(ScanQueueTest, RefusedPageIsToldAndStillTakesItsPlace) {
  Scan(Page(24, 8, 8));
  Scan(Page(16, 8, 8));
  std::vector<uint8_t> shortPage = Page(24, 8, 8);
  shortPage.resize(shortPage.size() / 2);
  Scan(shortPage);
  Scan(Page(8, 8, 8));

  EXPECT_EQ(messages.shown, (Shown{{"Invalid bit count", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"},
                                   {"Error create", "Error"},
                                   {"Jpeg convertion error: 0x80004005", "Error"}}));
  ASSERT_EQ(queue.Size(), 4u);
  EXPECT_TRUE(test::DecodeJpeg(*test::TakePage(queue)).ok);
  EXPECT_EQ(test::TakePage(queue), std::string());
  EXPECT_EQ(test::TakePage(queue), std::string());
  EXPECT_TRUE(test::DecodeJpeg(*test::TakePage(queue)).ok);
}

// Pages arrive on one thread while the gateway drains on another: nothing is lost, duplicated
// or reordered.
TEST_F(ScanQueueTest, AppendAndDrainFromTwoThreads) {
  constexpr int kPages = 300;  // each one synced to the disk
  std::atomic<bool> done{false};
  std::thread scanner([&] {
    for (int i = 0; i < kPages; ++i) ASSERT_TRUE(queue.Append(std::to_string(i)));
    done = true;
  });
  int expected = 0;
  while (!done || !queue.Empty()) {
    if (std::optional<std::string> page = test::TakePage(queue)) {
      ASSERT_EQ(*page, std::to_string(expected));
      ++expected;
    }
  }
  scanner.join();
  EXPECT_EQ(expected, kPages);
}

// What the agent left behind, killed or restarted, is what the next one finds: the pages in their
// order with their names, and the key.
TEST_F(ScanQueueTest, ANewQueueOnTheSameFolderHasThePagesAndTheKey) {
  queue.SetKey("k7");
  ASSERT_TRUE(queue.Append("one"));
  ASSERT_TRUE(queue.Append("two"));
  ASSERT_TRUE(queue.Append("three"));
  const std::string firstName = queue.Front()->name;
  queue.Remove(*queue.Front());  // taken by its receiver
  // Files a write cut short leaves are cleared away, and never taken for pages.
  std::ofstream(folder.path() + "/" + firstName + ".Ab12Cd") << "half";
  std::ofstream(folder.path() + "/scan-key.Xy34Zw") << "other";

  ScanQueue again(messages, folder.path());
  EXPECT_EQ(again.Key(), "k7");
  ASSERT_EQ(again.Size(), 2u);
  EXPECT_EQ(again.Front()->name, queue.Front()->name);
  EXPECT_EQ(test::TakePage(again), "two");
  ASSERT_TRUE(again.Append("four"));  // numbered after the pages found
  EXPECT_EQ(test::TakePage(again), "three");
  EXPECT_EQ(test::TakePage(again), "four");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);  // the key alone

  // The numbers start again in an empty folder, but a page's name is never another page's.
  ScanQueue emptied(messages, folder.path());
  ASSERT_TRUE(emptied.Append("five"));
  EXPECT_EQ(emptied.Front()->name.substr(0, 16), firstName.substr(0, 16));
  EXPECT_NE(emptied.Front()->name, firstName);
}

TEST_F(ScanQueueTest, PagesKeptPastTheirHoursAreDeletedWithALine) {
  auto now = std::chrono::system_clock::now();
  ScanQueue timed(messages, folder.path() + "/timed", ScanQueueLimits{std::chrono::hours(2)},
                  [&now] { return now; });
  ASSERT_TRUE(timed.Append("old"));
  now += std::chrono::minutes(90);
  ASSERT_TRUE(timed.Append("new"));
  now += std::chrono::minutes(31);
  ::testing::internal::CaptureStderr();
  timed.DropExpired();
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("was not fetched within 2 hours (scan_keep_hours): deleted"));
  EXPECT_EQ(test::TakePage(timed), "new");
  // A restart long after finds nothing to send.
  ASSERT_TRUE(timed.Append("newer"));
  now += std::chrono::hours(3);
  ::testing::internal::CaptureStderr();
  ScanQueue later(messages, folder.path() + "/timed", ScanQueueLimits{std::chrono::hours(2)},
                  [&now] { return now; });
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(later.Empty());
}

TEST_F(ScanQueueTest, APageOverTheLimitStopsTheScanAndIsNotKept) {
  ScanQueue small(messages, folder.path() + "/small", ScanQueueLimits{std::chrono::hours(24), 10});
  ASSERT_TRUE(small.Append("123456"));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(small.Append("12345"));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("would pass its limit of 0 MB (scan_queue_mb)"));
  EXPECT_EQ(messages.shown, (Shown{{"Error create", "Error"}}));
  EXPECT_TRUE(small.Append("1234"));  // what fits is still taken
  EXPECT_EQ(small.Size(), 2u);
}

// Where nothing can be written (here a file stands where the folder should be, which stops root
// too), no page is reported as queued.
TEST_F(ScanQueueTest, AFolderThatCannotBeWrittenKeepsNoPage) {
  const std::string blocked = folder.path() + "/blocked";
  std::ofstream(blocked) << "a file";
  ::testing::internal::CaptureStderr();
  ScanQueue queue(messages, blocked);
  EXPECT_FALSE(queue.Append("lost"));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr("cannot be made"));
  EXPECT_THAT(log, ::testing::HasSubstr("could not be written"));
  EXPECT_EQ(messages.shown, (Shown{{"Error create", "Error"}}));
  EXPECT_TRUE(queue.Empty());
}

}  // namespace
}  // namespace dralmin
