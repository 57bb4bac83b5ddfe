#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include "tests/devices/barcode/DriverSimulator.h"
#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

const std::string kSubscribe =
    "RunCommand 1001 <inArgs><cmdArgs><arg-int>1</arg-int><arg-int>1</arg-int></cmdArgs></inArgs>";

// The first non-empty "/barcode" reply within the timeout; empty when none came.
std::string NextBarcode(AgentProcess& agent, std::chrono::milliseconds timeout = 5s) {
  std::string body;
  WaitFor([&] { return !(body = agent.Get("/barcode")).empty(); }, timeout);
  return body;
}

class AgentBarcodeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start"; }
  std::vector<std::string> Env() const { return {"DBUS_SESSION_BUS_ADDRESS=" + bus_.address()}; }
  PrivateBus bus_;
};

TEST_F(AgentBarcodeTest, TypedCodesReachBarcodeOnceEach) {
  DriverSimulator driver(bus_.address());
  ASSERT_TRUE(driver.ok());
  AgentProcess agent(Env());
  // The agent opens the scanners and subscribes, once each.
  EXPECT_EQ(driver.Calls(2),
            (std::vector<std::string>{"OpenScanners 0 [1,0,0,0,0,0,0,0] 1", kSubscribe}));
  EXPECT_EQ(agent.Get("/barcode"), "");

  ASSERT_TRUE(driver.Type("4601"));
  EXPECT_EQ(NextBarcode(agent), "DralminBarcode__callback({code:'4601'})");
  EXPECT_EQ(agent.Get("/barcode"), "");

  // Two scans in a row: the later one is delivered, once. (Whether the earlier one was replaced
  // before a poll could take it depends on timing here; the holder's and the connection's own
  // tests show that it is replaced.)
  ASSERT_TRUE(driver.Type("111\n222"));
  std::string body;
  do {
    body = NextBarcode(agent);
  } while (body == "DralminBarcode__callback({code:'111'})");
  EXPECT_EQ(body, "DralminBarcode__callback({code:'222'})");
  EXPECT_EQ(agent.Get("/barcode"), "");

  EXPECT_EQ(driver.Calls(3, 0ms).size(), 2u);  // nothing asked again
  EXPECT_EQ(agent.Stop(), 0);
}

TEST_F(AgentBarcodeTest, ADriverStartedAfterTheAgentIsConnected) {
  AgentProcess agent(Env());
  EXPECT_EQ(agent.Get("/barcode"), "");

  DriverSimulator driver(bus_.address());
  ASSERT_TRUE(driver.ok());
  EXPECT_EQ(driver.Calls(2),
            (std::vector<std::string>{"OpenScanners 0 [1,0,0,0,0,0,0,0] 1", kSubscribe}));
  ASSERT_TRUE(driver.Type("4601"));
  EXPECT_EQ(NextBarcode(agent), "DralminBarcode__callback({code:'4601'})");
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(AgentDesktopTest, WithADesktopTheAgentServesAndAStopEndsItWithZero) {
  TempFolder folder;
  const std::string errors = folder.path() + "/stderr";
  AgentProcess agent({"QT_QPA_PLATFORM=offscreen", "DISPLAY=", "WAYLAND_DISPLAY="},
                     AgentProcess::Role::Agent, true, errors);
  EXPECT_EQ(agent.Get("/barcode"), "");
  EXPECT_EQ(agent.Stop(), 0);
  // A platform that can show no notification area gets no tray icon, so Qt has nothing to warn
  // about.
  std::ostringstream read;
  read << std::ifstream(errors).rdbuf();
  const std::string said = read.str();
  EXPECT_EQ(said.find("QObject::"), std::string::npos) << said;
  EXPECT_NE(said.find("running without a tray icon"), std::string::npos) << said;
}

TEST(AgentDesktopTest, ADisplayThatCannotBeReachedDoesNotEndTheAgent) {
  AgentProcess agent({"DISPLAY=:97", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  EXPECT_EQ(agent.Get("/barcode"), "");
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(AgentDesktopTest, AnAgentEndingWithZeroEndsItsWatchdog) {
  AgentProcess watchdog({"QT_QPA_PLATFORM=offscreen"}, AgentProcess::Role::Watchdog);
  std::vector<int> agents;
  ASSERT_TRUE(WaitFor([&] { return (agents = watchdog.Children()).size() == 1; }, 10s));
  kill(agents.front(), SIGINT);
  EXPECT_EQ(watchdog.WaitExit(10s), 0);
}

}  // namespace
}  // namespace dralmin::test
