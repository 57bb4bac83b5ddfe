#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "app/Watchdog.h"
#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

// The watchdog's single agent, once it is there.
int AgentOf(const AgentProcess& watchdog) {
  int agent = -1;
  WaitFor(
      [&] {
        const auto children = watchdog.Children();
        if (children.size() != 1) return false;
        agent = children.front();
        return true;
      },
      10s);
  return agent;
}

TEST(WatchdogTest, RestartsAKilledAgentAndEndsWhenTheAgentEndsCleanly) {
  AgentProcess watchdog({}, AgentProcess::Role::Watchdog);
  const int first = AgentOf(watchdog);
  ASSERT_GT(first, 0);
  EXPECT_EQ(watchdog.Get("/barcode"), "");

  kill(first, SIGKILL);
  // A new agent serves again after a short pause.
  int second = -1;
  ASSERT_TRUE(WaitFor(
      [&] {
        second = AgentOf(watchdog);
        return second > 0 && second != first;
      },
      5s));
  ASSERT_TRUE(watchdog.WaitListening());
  EXPECT_EQ(watchdog.Get("/weight"), "DralminWeighter__callback({value: 0})");

  kill(second, SIGTERM);  // a clean exit with 0 ends the watchdog too
  EXPECT_EQ(watchdog.WaitExit(10s), 0);
}

TEST(WatchdogTest, AnAgentThatCannotBeStartedEndsTheWatchdogWithZero) {
  TempFolder folder;
  const std::string notExecutable = folder.path() + "/dralmin-tray-agent";
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 3\n";
  // Retrying for ever would hang here; the alarm ends the test program instead.
  alarm(60);
  EXPECT_EQ(RunWatchdog(folder.path() + "/missing"), 0);
  EXPECT_EQ(RunWatchdog(notExecutable), 0);
  alarm(0);
}

TEST(WatchdogTest, StoppingTheWatchdogStopsItsAgent) {
  AgentProcess watchdog({}, AgentProcess::Role::Watchdog);
  const int agent = AgentOf(watchdog);
  ASSERT_GT(agent, 0);
  EXPECT_EQ(watchdog.Stop(), 0);
  EXPECT_TRUE(WaitFor([&] { return kill(agent, 0) != 0; }, 5s));
}

TEST(WatchdogTest, AStopDuringThePauseBeforeARestartEndsIt) {
  // Hold the agent's port so that every agent it starts fails at once.
  HeldPort taken;
  ASSERT_NE(taken.port(), 0);
  const std::string port = std::to_string(taken.port());

  AgentProcess watchdog({"DRALMIN_HTTP_PORT=" + port, "DRALMIN_SHARED_PORTS=false"},
                        AgentProcess::Role::Watchdog, false);
  // Once a second agent has failed, the watchdog pauses for a second or more without an agent.
  std::vector<int> seen;
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto children = watchdog.Children();
        for (int child : children) {
          if (std::find(seen.begin(), seen.end(), child) == seen.end()) seen.push_back(child);
        }
        return seen.size() >= 2 && children.empty();
      },
      30s));
  EXPECT_EQ(watchdog.Stop(), 0);  // a stop during the pause ends it at once
}

}  // namespace
}  // namespace dralmin::test
