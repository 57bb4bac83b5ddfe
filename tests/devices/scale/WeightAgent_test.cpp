// "/weight" and "/ip_weight/" through the running agent.
#include <gtest/gtest.h>

#include "simulators/netscale/NetScaleServer.h"
#include "simulators/scale/ScaleSimulator.h"
#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

TEST(WeightAgentTest, WeighsOnTheSimulatedScale) {
  ScaleSimulator scale(ScaleSettings{"12.5", "kg", ScaleSettings::Fault::None});
  AgentProcess agent({"DRALMIN_SERIAL_PORTS=/nonexistent/tty," + scale.devicePath()});
  // An answer that comes after the reader's pause (a busy machine) is still the weight, but only
  // once the read's whole time-out has passed: 2 s and 100 ms for each of the 128 bytes asked.
  constexpr auto kSlowestWeighing = std::chrono::seconds(40);
  EXPECT_EQ(agent.Get("/weight", kSlowestWeighing),
            "DralminWeighter__callback({value: 12.500000})");
  EXPECT_EQ(agent.Get("/weight?unit=lb", kSlowestWeighing),
            "DralminWeighter__callback({value: 12.500000})");
  EXPECT_EQ(scale.Received(), "\x05\x11\x05\x11");
}

TEST(WeightAgentTest, WithoutAScaleWeightIsZero) {
  AgentProcess agent({"DRALMIN_SERIAL_PORTS=/nonexistent/tty"});
  EXPECT_EQ(agent.Get("/weight"), "DralminWeighter__callback({value: 0})");
}

TEST(WeightAgentTest, ReadsTheNetworkedScaleNamedInThePath) {
  NetScaleServer server([](const std::string&) {
    return NetScaleServer::Page{200, "+00.512\r\nkg\r\n17\r\n"};
  });
  AgentProcess agent({"DRALMIN_SERIAL_PORTS=/nonexistent/tty"});
  // The page's own query must be escaped so that it is part of the path.
  EXPECT_EQ(agent.Get("/ip_weight/127.0.0.1:" + std::to_string(server.port()) + "/w%3Fid=1"),
            "DralminWeighter__callback({value: 0.512, counter: '17'})");
  EXPECT_EQ(server.Paths(), std::vector<std::string>{"/w?id=1"});
  EXPECT_EQ(agent.Get("/ip_weight/127.0.0.1:" + std::to_string(FreePort()) + "/"),
            "DralminWeighter__callback({value: 0})");
}

}  // namespace
}  // namespace dralmin::test
