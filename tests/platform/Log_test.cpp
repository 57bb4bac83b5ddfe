#include "platform/Log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

TEST(LogTest, TheRingKeepsTheLastLinesWrittenAtTheLevel) {
  ::testing::internal::CaptureStderr();
  for (size_t i = 0; i < kLogRingLines + 5; ++i) LogInfo("ring", "line " + std::to_string(i));
  SetLogLevel(LogLevel::Warning);
  LogInfo("ring", "dropped");
  SetLogLevel(LogLevel::Info);
  ::testing::internal::GetCapturedStderr();
  const std::vector<std::string> lines = RecentLogLines();
  ASSERT_EQ(lines.size(), kLogRingLines);
  EXPECT_THAT(lines.front(), ::testing::EndsWith(" info ring: line 5"));
  EXPECT_THAT(lines.back(), ::testing::EndsWith(" info ring: line 204"));
}

}  // namespace
}  // namespace dralmin
