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

}  // namespace
}  // namespace dralmin
