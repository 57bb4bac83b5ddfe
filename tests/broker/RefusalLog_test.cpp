#include "broker/RefusalLog.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

using namespace std::chrono_literals;

TEST(RefusalLogTest, OneLinePerUserPerIntervalCountingWhatWasLeftUnsaid) {
  RefusalLog log(60s);
  const RefusalLog::Clock::time_point start{};
  EXPECT_EQ(log.Note(1001, "refused a", start), "refused a");
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(log.Note(1001, "refused b", start + 1s), "");
  // Another user's refusals are said all the same.
  EXPECT_EQ(log.Note(1002, "refused c", start + 2s), "refused c");
  EXPECT_EQ(log.Note(1001, "refused d", start + 61s),
            "refused d (and 1000 more like it since the last such line)");
  EXPECT_EQ(log.Note(1001, "refused e", start + 130s), "refused e");
}

}  // namespace
}  // namespace dralmin
