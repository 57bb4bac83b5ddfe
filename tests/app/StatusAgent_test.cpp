// The status page and the status command with the running agent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "simulators/scale/ScaleSimulator.h"
#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(StatusAgentTest, TheRunningAgentTellsWhatItSawAndTheCommandPrintsIt) {
  ScaleSimulator scale(ScaleSettings{"3.25", "kg", ScaleSettings::Fault::None});
  AgentProcess agent({"DRALMIN_SERIAL_PORTS=" + scale.devicePath(),
                      "DRALMIN_ALLOWED_ORIGINS=https://till.example"});
  const std::string weigh =
      "GET /weight HTTP/1.1\r\nHost: x\r\nReferer: https://till.example/\r\n\r\n";
  ASSERT_THAT(agent.Exchange(weigh, std::chrono::seconds(40)), HasSubstr("{value: 3.250000}"));
  ASSERT_THAT(
      agent.Exchange("GET /barcode HTTP/1.1\r\nHost: x\r\nOrigin: https://evil.example\r\n\r\n"),
      StartsWith("HTTP/1.1 403"));

  const std::string host = "Host: 127.0.0.1:" + std::to_string(agent.port()) + "\r\n";
  const std::string json =
      agent.Exchange("GET /agent/status HTTP/1.1\r\n" + host + "Accept: application/json\r\n\r\n");
  EXPECT_THAT(json, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json"));
  EXPECT_THAT(json, HasSubstr(R"({"name":"scale","value":"found on )" + scale.devicePath()));
  EXPECT_THAT(json, HasSubstr(R"({"name":"the page origin https://evil.example","value":"1")"));
  EXPECT_THAT(json, HasSubstr(R"({"name":"serial_ports","value":")" + scale.devicePath() +
                              R"(","detail":"environment DRALMIN_SERIAL_PORTS"})"));
  EXPECT_THAT(json, HasSubstr(R"({"name":"/weight","value":"1")"));

  const std::string html = agent.Exchange("GET /agent/status HTTP/1.1\r\n" + host + "\r\n");
  EXPECT_THAT(html, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8"));
  EXPECT_THAT(html, HasSubstr("Состояние агента / Agent status"));
  EXPECT_THAT(html, HasSubstr("src=\"data:image/png;base64,iVBORw0KGgo"));  // the icon

  const std::string command = "HOME=" + agent.home() + " XDG_CONFIG_HOME=" + agent.home() +
                              "/config XDG_CONFIG_DIRS=" + agent.home() +
                              "/system-config DRALMIN_HTTP_PORT=" + std::to_string(agent.port()) +
                              " " + AgentPath() + " status 2>&1";
  const CommandResult answered = RunCommand(command);
  EXPECT_EQ(answered.status, 0) << answered.output;
  EXPECT_THAT(answered.output, HasSubstr("  scale: found on " + scale.devicePath()));

  ASSERT_EQ(agent.Stop(), 0);
  const CommandResult none = RunCommand(command);
  EXPECT_EQ(none.status, 3) << none.output;
  EXPECT_THAT(none.output, HasSubstr("no agent answers on 127.0.0.1:"));

  // Another program on the port is no agent to report on.
  TempFolder site;
  ASSERT_EQ(RunCommand("mkdir " + site.path() + "/agent && echo hello > " + site.path() +
                       "/agent/status")
                .status,
            0);
  ChildProcess other({"python3", "-m", "http.server", std::to_string(agent.port()), "--bind",
                      "127.0.0.1", "--directory", site.path()});
  ASSERT_TRUE(WaitFor([&] { return Socket(agent.port()).ok(); }, std::chrono::seconds(10)));
  const CommandResult notAgent = RunCommand(command);
  EXPECT_EQ(notAgent.status, 1) << notAgent.output;
  EXPECT_THAT(notAgent.output, HasSubstr(" is not an agent"));
}

}  // namespace
}  // namespace dralmin::test
