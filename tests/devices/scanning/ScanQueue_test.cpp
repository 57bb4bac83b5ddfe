#include "devices/scanning/ScanQueue.h"

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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
  // Each page file holds 48 bytes of length and checksum after the image.
  ScanQueue small(messages, folder.path() + "/small",
                  ScanQueueLimits{std::chrono::hours(24), 2 * 48 + 10});
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
  EXPECT_THAT(log, ::testing::HasSubstr("cannot be used"));
  EXPECT_EQ(messages.shown, (Shown{{"Error create", "Error"}}));
  EXPECT_TRUE(queue.Empty());
}

// The tests below plant links, change modes or mount a disk read-only: POSIX only.
#ifndef _WIN32
std::size_t FilesIn(const std::string& folder) {
  std::error_code error;
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder, error),
                                                std::filesystem::directory_iterator()));
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A page file that is not what was queued (empty, cut short, other bytes, a link planted in its
// name) is never sent: it is moved aside with a line and counted on the status page. A page queued
// by an earlier version (a plain JPEG) still goes out.
TEST_F(ScanQueueTest, DamagedPagesAreSetAsideWithALineAndNeverRead) {
  for (const char* page : {"empty", "cut", "random", "link", "old", "whole"}) {
    ASSERT_TRUE(queue.Append(std::string(page) + std::string(200, 'x')));
  }
  std::vector<std::string> paths;  // in the order of their numbers
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    if (entry.path().extension() == ".jpg") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_EQ(paths.size(), 6u);
  test::TempFolder elsewhere;
  const std::string secret = elsewhere.path() + "/other-users-document";
  WriteBytes(secret, "not a page of this agent");
  chmod(secret.c_str(), 0600);
  WriteBytes(paths[0], "");
  WriteBytes(paths[1], ReadBytes(paths[1]).substr(0, 150));
  WriteBytes(paths[2], std::string(300, '\x5a'));
  std::filesystem::remove(paths[3]);
  std::filesystem::create_symlink(secret, paths[3]);
  const std::string oldJpeg = "\xFF\xD8\xFF\xE0 a page of the earlier format \xFF\xD9";
  WriteBytes(paths[4], oldJpeg);

  ::testing::internal::CaptureStderr();
  ScanQueue again(messages, folder.path());
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5) << log;  // four pages and "wait in"
  EXPECT_THAT(log, ::testing::HasSubstr("is damaged (it is empty): moved to " + folder.path() +
                                        "/damaged/"));
  EXPECT_THAT(log, ::testing::HasSubstr("is damaged (it is a link or not a regular file)"));
  EXPECT_EQ(FilesIn(folder.path() + "/damaged"), 4u);
  EXPECT_EQ(ReadBytes(secret), "not a page of this agent");  // the link was moved, not followed
  EXPECT_THAT(
      again.Warnings(),
      ::testing::ElementsAre(::testing::HasSubstr("4 damaged scanned page(s) were moved to")));
  ASSERT_EQ(again.Size(), 2u);
  EXPECT_EQ(test::TakePage(again), oldJpeg);

  // Damage after the start shows in the checksum, when the page is about to go.
  std::string whole = ReadBytes(paths[5]);
  whole[10] ^= 1;
  WriteBytes(paths[5], whole);
  ::testing::internal::CaptureStderr();
  const PageRead read = again.Read(*again.Front());
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("is damaged (its checksum does not match its bytes)"));
  EXPECT_EQ(read.outcome, PageRead::Outcome::kDamaged);
  EXPECT_TRUE(again.Empty());
  EXPECT_EQ(FilesIn(folder.path() + "/damaged"), 5u);
}

// A folder someone else could read or fill is not used at all: what is in it is not taken, and
// scans stop at their first page with the user's message.
TEST_F(ScanQueueTest, AFolderOthersCouldUseOrALinkedOneIsRefused) {
  const std::string shared = folder.path() + "/shared";
  {
    ScanQueue first(messages, shared);
    first.SetKey("k1");
    ASSERT_TRUE(first.Append("planted later"));
  }
  chmod(shared.c_str(), 0755);
  std::filesystem::create_symlink(shared, folder.path() + "/linked");
  chmod(shared.c_str(), 0755);
  for (const std::string& path : {shared, folder.path() + "/linked"}) {
    messages.shown.clear();
    ::testing::internal::CaptureStderr();
    ScanQueue refused(messages, path);
    EXPECT_FALSE(refused.Append("page"));
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(log, ::testing::HasSubstr("the folder " + path + " cannot be used: "));
    EXPECT_TRUE(refused.Empty());
    EXPECT_EQ(refused.Key(), "");
    EXPECT_EQ(messages.shown, (Shown{{"Error create", "Error"}}));
    EXPECT_THAT(refused.Warnings(),
                ::testing::ElementsAre(::testing::HasSubstr("the scan queue folder " + path)));
  }
  EXPECT_THAT(ScanQueue(messages, folder.path() + "/linked").Warnings(),
              ::testing::ElementsAre(::testing::HasSubstr("it is a symbolic link")));
}

// Pages on a disk that turned read-only: as root a read-only mount, otherwise a folder without
// write access.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& path) : path_(path) {
    std::filesystem::create_directory(path);
    mounted_ = geteuid() == 0 &&
               std::system(("mount -t tmpfs -o mode=0700,size=4m tmpfs " + path).c_str()) == 0;
  }
  ~ReadOnlyFolder() {
    if (mounted_ && std::system(("umount " + path_).c_str()) != 0) ADD_FAILURE() << "umount";
  }
  bool MakeReadOnly(const std::string& queueFolder) {
    if (mounted_) return std::system(("mount -o remount,ro " + path_).c_str()) == 0;
    return chmod(queueFolder.c_str(), 0500) == 0;
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST_F(ScanQueueTest, APageThatCannotBeDeletedAfterItsUploadIsNotSentAgain) {
  ReadOnlyFolder disk(folder.path() + "/disk");
  const std::string queued = folder.path() + "/disk/scans";
  const std::string record = folder.path() + "/sent-pages";
  auto now = &std::chrono::system_clock::now;
  {
    ScanQueue writing(messages, queued, {}, now, record);
    ASSERT_TRUE(writing.Append("one"));
    ASSERT_TRUE(writing.Append("two"));
    ASSERT_TRUE(writing.Append("three"));
  }
  if (!disk.MakeReadOnly(queued)) GTEST_SKIP() << "no way to make a folder read-only here";
  if (access(queued.c_str(), W_OK) == 0) GTEST_SKIP() << "the folder stays writable";
  ScanQueue readOnly(messages, queued, {}, now, record);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(test::TakePage(readOnly), "one");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr("was sent but cannot be deleted or renamed"));
  EXPECT_THAT(log, ::testing::HasSubstr("listed as sent in " + record));
  // After a restart the page that went out is not offered again.
  ScanQueue restarted(messages, queued, {}, now, record);
  EXPECT_EQ(restarted.Size(), 2u);
  EXPECT_EQ(test::TakePage(restarted), "two");
  // With nowhere to note it, the line says that it would go out again.
  ::testing::internal::CaptureStderr();
  ScanQueue unnoted(messages, queued);
  ASSERT_EQ(test::TakePage(unnoted), "one");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("after a restart it goes out again, under the same "
                                   "Idempotency-Key"));
}
#endif

}  // namespace
}  // namespace dralmin
