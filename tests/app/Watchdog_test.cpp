#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
  // A new agent serves again within a second (the first restart waits half a second).
  int second = -1;
  ASSERT_TRUE(WaitFor(
      [&] {
        second = AgentOf(watchdog);
        return second > 0 && second != first;
      },
      5s));
  ASSERT_TRUE(watchdog.WaitListening(2s));
  EXPECT_EQ(watchdog.Get("/weight"), "DralminWeighter__callback({value: 0})");

  kill(second, SIGTERM);  // a clean exit with 0 ends the watchdog too
  EXPECT_EQ(watchdog.WaitExit(10s), 0);
}

TEST(WatchdogTest, StoppingTheWatchdogStopsItsAgent) {
  AgentProcess watchdog({}, AgentProcess::Role::Watchdog);
  const int agent = AgentOf(watchdog);
  ASSERT_GT(agent, 0);
  EXPECT_EQ(watchdog.Stop(), 0);
  EXPECT_TRUE(WaitFor([&] { return kill(agent, 0) != 0; }, 5s));
}

TEST(WatchdogTest, BacksOffWhileTheAgentKeepsFailing) {
  // Hold the agent's port so that every agent it starts fails at once.
  HeldPort taken;
  ASSERT_NE(taken.port(), 0);
  const std::string port = std::to_string(taken.port());

  AgentProcess watchdog({"DRALMIN_HTTP_PORT=" + port}, AgentProcess::Role::Watchdog, false);
  // Count distinct agents over 2.2 s: without back-off there would be hundreds; with pauses of
  // 0.5 s and 1 s there are three.
  std::vector<int> seen;
  const auto until = std::chrono::steady_clock::now() + 2200ms;
  while (std::chrono::steady_clock::now() < until) {
    for (int child : watchdog.Children()) {
      if (std::find(seen.begin(), seen.end(), child) == seen.end()) seen.push_back(child);
    }
    usleep(2000);
  }
  EXPECT_GE(seen.size(), 2u);
  EXPECT_LE(seen.size(), 4u);
  EXPECT_EQ(watchdog.Stop(), 0);  // a stop during the pause ends it at once
}

}  // namespace
}  // namespace dralmin::test
