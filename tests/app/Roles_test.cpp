#include "app/Roles.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/Watchdog.h"

namespace dralmin {
namespace {

TEST(RolesTest, OnlyAnExactLastRunArgumentSelectsTheAgent) {
  const char* agent[] = {"/opt/my agent/dralmin-tray-agent", "run"};
  EXPECT_TRUE(IsAgentRun(2, agent));
  const char* alone[] = {"dralmin-tray-agent"};
  EXPECT_FALSE(IsAgentRun(1, alone));
  const char* capital[] = {"dralmin-tray-agent", "Run"};
  EXPECT_FALSE(IsAgentRun(2, capital));
  const char* blank[] = {"dralmin-tray-agent", "run "};
  EXPECT_FALSE(IsAgentRun(2, blank));
  const char* notLast[] = {"dralmin-tray-agent", "run", "x"};
  EXPECT_FALSE(IsAgentRun(3, notLast));
  const char* programNamedRun[] = {"run"};
  EXPECT_FALSE(IsAgentRun(1, programNamedRun));
}

TEST(RestartBackoffTest, DoublesWhileFailingQuicklyAndResetsAfterAHealthyRun) {
  using namespace std::chrono_literals;
  RestartBackoff backoff;
  EXPECT_EQ(backoff.Next(10ms), 500ms);
  EXPECT_EQ(backoff.Next(10ms), 1000ms);
  EXPECT_EQ(backoff.Next(10ms), 2000ms);
  for (int i = 0; i < 10; ++i) backoff.Next(1s);
  EXPECT_EQ(backoff.Next(1s), 30000ms);  // capped
  EXPECT_EQ(backoff.Next(61s), 500ms);   // ran for a while: start again from the shortest
  EXPECT_EQ(backoff.Next(10ms), 1000ms);
}

TEST(WatchdogTest, PausesBeforeEachRestartByHowLongTheLastAgentRan) {
  using namespace std::chrono_literals;
  // A program that fails at once stands in for an agent that fails. Each agent runs for `runLength` on the fake clock.
  auto now = std::chrono::steady_clock::time_point();
  std::chrono::steady_clock::duration runLength = 1s;
  std::vector<std::chrono::milliseconds> pauses;
  WatchdogTime time;
  time.now = [&] { return now += runLength; };
  time.sleep = [&](std::chrono::milliseconds pause) {
    pauses.push_back(pause);
    runLength = pauses.size() == 3 ? 61s : 1s;  // the fourth agent runs for a while
    return pauses.size() < 5;                    // then a stop request during the fifth pause
  };
  EXPECT_EQ(RunWatchdog(DRALMIN_FAILING_PROGRAM, time), 0);
  EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{500ms, 1000ms, 2000ms, 500ms, 1000ms}));
}

#ifndef _WIN32
// Only a POSIX child's status can look like a failed exec; Windows reports that at the start.
TEST(WatchdogTest, AnAgentThatRanAndEndedWith127IsStartedAgain) {
  // 127 is also the status of a child whose exec failed; this one did run, so it is restarted.
  char folder[] = "/tmp/dralmin-watchdog-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string agent = std::string(folder) + "/agent";
  std::ofstream(agent) << "#!/bin/sh\nexit 127\n";
  ASSERT_EQ(chmod(agent.c_str(), 0700), 0);
  int pauses = 0;
  WatchdogTime time;
  time.sleep = [&pauses](std::chrono::milliseconds) { return ++pauses < 2; };
  EXPECT_EQ(RunWatchdog(agent, time), 0);
  EXPECT_EQ(pauses, 2);
  std::remove(agent.c_str());
  rmdir(folder);
}
#endif

}  // namespace
}  // namespace dralmin
