#include "support/FileDownload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "tests/testkit/Helpers.h"
#include "tests/testkit/RawHttpPeer.h"
#include "tests/supportlib/CannedHttpServer.h"
#include "tests/supportlib/FakePrinter.h"

namespace dralmin {
namespace {

using test::CannedHttpServer;
using test::ReadFile;

class FileDownloadTest : public ::testing::Test {
 protected:
  FileDownloadTest() { std::ofstream(target_) << "old"; }

  // True when the folder holds nothing but the target, so no temporary file was left behind.
  bool OnlyTheTarget() const {
    return std::distance(std::filesystem::directory_iterator(folder_.path()),
                         std::filesystem::directory_iterator()) == 1;
  }

  const std::string certificate_ = "-----BEGIN CERTIFICATE-----\n" + std::string(70000, 'A');
  CannedHttpServer server_{{
      {"/cert.crt", CannedHttpServer::Reply(200, certificate_)},
      {"/moved", "HTTP/1.1 302 Found\r\nLocation: /cert.crt\r\nContent-Length: 0\r\n\r\n"},
      {"/broken", CannedHttpServer::Reply(500, "oops")},
      {"/short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b"},
  }};
  test::TempFolder folder_;
  const std::string target_ = folder_.path() + "/1.crt";
  DownloadLimits limits_{std::chrono::seconds(5), std::chrono::seconds(10), std::chrono::seconds(5),
                         nullptr};
};

TEST_F(FileDownloadTest, ReplacesTheFileWithTheWholeContent) {
  std::string error;
  ASSERT_TRUE(DownloadFile(server_.Url("/cert.crt"), target_, limits_, &error)) << error;
  EXPECT_EQ(ReadFile(target_), certificate_);
  EXPECT_TRUE(OnlyTheTarget());
  std::filesystem::remove(target_);
  ASSERT_TRUE(DownloadFile(server_.Url("/moved"), target_, limits_, &error)) << error;
  EXPECT_EQ(ReadFile(target_), certificate_);
}

TEST_F(FileDownloadTest, AnythingLessThanTheWholeContentLeavesTheOldFile) {
  for (const char* path : {"/missing", "/broken", "/short"}) {
    std::string error;
    EXPECT_FALSE(DownloadFile(server_.Url(path), target_, limits_, &error)) << path;
    EXPECT_NE(error.find(server_.Url(path)), std::string::npos) << error;
    EXPECT_EQ(ReadFile(target_), "old") << path;
    EXPECT_TRUE(OnlyTheTarget()) << path;
  }
}

TEST_F(FileDownloadTest, OnlyHttpIsFetchedAndOnlyIntoAnExistingFolder) {
  EXPECT_FALSE(DownloadFile("file://" + target_, folder_.path() + "/copy", limits_));
  EXPECT_FALSE(DownloadFile("http://127.0.0.1:1/x", folder_.path() + "/x", limits_));
  std::string error;
  EXPECT_FALSE(
      DownloadFile(server_.Url("/cert.crt"), folder_.path() + "/no/such/file", limits_, &error));
  EXPECT_NE(error.find("/no/such/file"), std::string::npos) << error;
  EXPECT_TRUE(OnlyTheTarget());
}

TEST_F(FileDownloadTest, ACancelEndsTheTransferAndLeavesTheOldFile) {
  test::RawHttpPeer silent("");  // accepts and never answers
  std::atomic<bool> cancelled{false};
  limits_.total = std::chrono::seconds(60);
  limits_.cancelled = &cancelled;
  auto download = std::async(std::launch::async, [&] {
    std::string error;
    DownloadFile(silent.Url("/7.crt.txt"), target_, limits_, &error);
    return error;
  });
  ASSERT_TRUE(test::WaitFor([&] { return silent.Requests() == 1; }, std::chrono::seconds(10)));
  cancelled = true;
  ASSERT_EQ(download.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(download.get(), "download of " + silent.Url("/7.crt.txt") + " cancelled");
  EXPECT_EQ(ReadFile(target_), "old");
  EXPECT_TRUE(OnlyTheTarget());
}

}  // namespace
}  // namespace dralmin
