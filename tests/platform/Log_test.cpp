#include "platform/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

TEST(LogTest, OneLineACallWhateverTheMessageHolds) {
  ::testing::internal::CaptureStderr();
  LogWarning("fingerprint", "page 'x\n2026-12-09 00:00:00.000 error agent: forged\r' refused");
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_THAT(said, ::testing::EndsWith(
                        " warning fingerprint: page 'x\\n2026-12-09 00:00:00.000 error agent: "
                        "forged\\r' refused\n"));
}

TEST(LogTest, ControlBytesAreWrittenEscapedAndLongTextsCut) {
  // Terminal escapes, NUL and DEL never reach the terminal raw; bytes of other code pages stay.
  EXPECT_EQ(LogSafe(std::string("a\x1b[2J\0\t\x7f\xd0\x9f", 10)), "a\\x1b[2J\\x00\\t\\x7f\xd0\x9f");
  EXPECT_EQ(LogSafe(std::string(5000, 'o'), 4096), std::string(4096, 'o') + "... (904 bytes more)");
}

TEST(LogTest, LinesAboveTheLevelAreDropped) {
  SetLogLevel(LogLevel::Error);
  ::testing::internal::CaptureStderr();
  LogWarning("scale", "dropped");
  LogError("scale", "kept");
  const std::string said = ::testing::internal::GetCapturedStderr();
  SetLogLevel(LogLevel::Info);
  EXPECT_THAT(said, ::testing::EndsWith(" error scale: kept\n"));
  EXPECT_EQ(said.find("dropped"), std::string::npos);
}

TEST(LogTest, TheRingKeepsTheLastLinesAtTheLevelButNoPagesOwnWords) {
  ::testing::internal::CaptureStderr();
  for (size_t i = 0; i < kLogRingLines + 5; ++i) LogInfo("ring", "line " + std::to_string(i));
  SetLogLevel(LogLevel::Warning);
  LogInfo("ring", "dropped");
  SetLogLevel(LogLevel::Info);
  Log(LogLevel::Warning, "ring", "a page's own words", LogReach::kNotRecent);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr("a page's own words"));
  const std::vector<std::string> lines = RecentLogLines();
  ASSERT_EQ(lines.size(), kLogRingLines);
  EXPECT_THAT(lines.front(), ::testing::EndsWith(" info ring: line 5"));
  EXPECT_THAT(lines.back(), ::testing::EndsWith(" info ring: line 204"));
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(LogTest, FileGetsEveryLineAndRotatesWithoutLosingTheLatest) {
  test::TempFolder folder;
  const std::string path = folder.path() + "/agent.log";
  ASSERT_TRUE(SetLogFile(path, 300));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 10; ++i) LogInfo("scale", "line " + std::to_string(i) + " of ten");
  const std::string said = ::testing::internal::GetCapturedStderr();
  SetLogFile("", 0);

  const std::string current = FileText(path);
  const std::string previous = FileText(path + ".1");
  EXPECT_LE(current.size(), 300u);
  EXPECT_LE(previous.size(), 300u);
  EXPECT_FALSE(previous.empty());
  // The newest lines, whole and in order, across the two files; standard error got them too.
  EXPECT_THAT(current, ::testing::EndsWith(" info scale: line 9 of ten\n"));
  std::istringstream both(previous + current);
  std::string line;
  int expected = -1;
  while (std::getline(both, line)) {
    const auto at = line.find(" info scale: line ");
    ASSERT_NE(at, std::string::npos) << line;
    const int number = std::stoi(line.substr(at + 18));
    if (expected >= 0) {
      EXPECT_EQ(number, expected) << "lines lost or out of order";
    }
    expected = number + 1;
  }
  EXPECT_EQ(expected, 10);
  EXPECT_THAT(said, ::testing::HasSubstr("line 0 of ten"));

  // A new start appends to what the file holds.
  ASSERT_TRUE(SetLogFile(path, 300));
  LogWarning("agent", "again");
  SetLogFile("", 0);
  EXPECT_THAT(FileText(path), ::testing::StartsWith(current));
}

TEST(LogTest, FileThatCannotBeOpenedLeavesStandardError) {
  test::TempFolder folder;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(SetLogFile(folder.path() + "/missing/agent.log", 300));
  LogError("agent", "still said");
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(said, ::testing::HasSubstr("cannot be opened"));
  EXPECT_THAT(said, ::testing::HasSubstr("still said"));
}

}  // namespace
}  // namespace dralmin
