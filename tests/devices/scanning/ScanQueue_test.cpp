#include "devices/scanning/ScanQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "DibImages.h"
#include "platform/MemoryHandle.h"

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

  test::RecordingMessageBox messages;
  ScanQueue queue{messages};
};

TEST_F(ScanQueueTest, PagesAreQueuedAsJpegInScanningOrder) {
  Scan(Page(24, 31, 20));
  Scan(Page(8, 17, 40));
  Scan(Page(1, 1001, 7));
  ASSERT_EQ(queue.Size(), 3u);
  const int widths[] = {31, 17, 1001};
  for (int width : widths) {
    std::optional<std::string> page = queue.TakeFront();
    ASSERT_TRUE(page);
    test::DecodedJpeg jpeg = test::DecodeJpeg(*page);
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, width);
    EXPECT_EQ(jpeg.components, 3);
  }
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.TakeFront());
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
  EXPECT_TRUE(test::DecodeJpeg(*queue.TakeFront()).ok);
  EXPECT_EQ(queue.TakeFront(), std::string());
  EXPECT_EQ(queue.TakeFront(), std::string());
  EXPECT_TRUE(test::DecodeJpeg(*queue.TakeFront()).ok);
}

// Pages arrive on one thread while the gateway drains on another: nothing is lost, duplicated
// or reordered.
TEST_F(ScanQueueTest, AppendAndDrainFromTwoThreads) {
  constexpr int kPages = 20000;
  std::atomic<bool> done{false};
  std::thread scanner([&] {
    for (int i = 0; i < kPages; ++i) queue.Append(std::to_string(i));
    done = true;
  });
  int expected = 0;
  while (!done || !queue.Empty()) {
    if (std::optional<std::string> page = queue.TakeFront()) {
      ASSERT_EQ(*page, std::to_string(expected));
      ++expected;
    }
  }
  scanner.join();
  EXPECT_EQ(expected, kPages);
}

}  // namespace
}  // namespace dralmin
