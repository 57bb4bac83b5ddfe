#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "DralminVersion.h"
#include "tests/testkit/AgentProcess.h"
#include "tests/testkit/RawHttpPeer.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\nContent-Length: ";

class AgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { agent_ = std::make_unique<AgentProcess>(); }
  static void TearDownTestSuite() { agent_.reset(); }
  static std::unique_ptr<AgentProcess> agent_;
};
std::unique_ptr<AgentProcess> AgentTest::agent_;

TEST_F(AgentTest, ReplyHeadIsExactAndConnectionStaysOpen) {
  Socket socket(agent_->port());
  ASSERT_TRUE(socket.ok());
  ASSERT_TRUE(socket.Send("GET /barcode HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(socket.ReadReply(), std::string(kHead) + "0\r\n\r\n");

  ASSERT_TRUE(socket.Send("GET /weight?x=1 HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::string body = "DralminWeighter__callback({value: 0})";
  EXPECT_EQ(socket.ReadReply(),
            std::string(kHead) + std::to_string(body.size()) + "\r\n\r\n" + body);

  // Two requests in one write are answered in order.
  ASSERT_TRUE(socket.Send("GET /barcode HTTP/1.1\r\n\r\nOPTIONS / HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(socket.ReadReply(), std::string(kHead) + "0\r\n\r\n");
  EXPECT_NE(socket.ReadReply().find("Access-Control-Max-Age: 600\r\n"), std::string::npos);
}

TEST_F(AgentTest, PreflightIsWellFormedWithTheOriginEchoed) {
  EXPECT_EQ(
      agent_->Exchange("OPTIONS /weight HTTP/1.1\r\nOrigin: https://shop.example:8443\r\n\r\n"),
      "HTTP/1.1 200 OK\r\n"
      "Server: DralminTrayAgent/" DRALMIN_VERSION "\r\n"
      "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
      "Access-Control-Max-Age: 600\r\n"
      "Access-Control-Allow-Origin: https://shop.example:8443\r\n"
      "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(agent_->Exchange("OPT / HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 200 OK\r\n"
            "Server: DralminTrayAgent/" DRALMIN_VERSION "\r\n"
            "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
            "Access-Control-Max-Age: 600\r\n"
            "Content-Length: 0\r\n\r\n");
}

TEST_F(AgentTest, PrivateNetworkPreflightIsAllowed) {
  // Header names are matched whatever their case, as browsers and proxies vary it.
  EXPECT_EQ(agent_->Exchange("OPTIONS /weight HTTP/1.1\r\nOrigin: https://shop.example\r\n"
                             "access-control-request-private-network: true\r\n\r\n"),
            "HTTP/1.1 200 OK\r\n"
            "Server: DralminTrayAgent/" DRALMIN_VERSION "\r\n"
            "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
            "Access-Control-Max-Age: 600\r\n"
            "Access-Control-Allow-Origin: https://shop.example\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "Content-Length: 0\r\n\r\n");
}

TEST_F(AgentTest, CurlCompletesAPreflight) {
  // A reply curl cannot see the end of keeps it waiting until --max-time, and it then fails.
  const CommandResult curl = RunCommand(
      "curl -s -o /dev/null -w '%{http_code}' --max-time 30 -X OPTIONS -H 'Origin: http://a' "
      "http://127.0.0.1:" +
      std::to_string(agent_->port()) + "/barcode");
  EXPECT_EQ(curl.status, 0);
  EXPECT_EQ(curl.output, "200");
}

TEST_F(AgentTest, PostBodyWithExpectContinueIsRead) {
  Socket socket(agent_->port());
  ASSERT_TRUE(
      socket.Send("POST /barcode HTTP/1.1\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
  EXPECT_EQ(socket.ReadReply(), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(socket.Send("hello"));
  EXPECT_EQ(socket.ReadReply(), std::string(kHead) + "0\r\n\r\n");
}

TEST_F(AgentTest, BadRequestsCostTheirConnectionOnly) {
  Socket idle(agent_->port());  // connects and says nothing
  ASSERT_TRUE(idle.ok());

  Socket garbage(agent_->port());
  ASSERT_TRUE(garbage.Send("\x16\x03\x01\x02\x00 not http at all\r\n\r\n"));
  EXPECT_TRUE(garbage.WaitClosed(5s));

  Socket huge(agent_->port());
  ASSERT_TRUE(huge.Send("GET / HTTP/1.1\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n"));
  EXPECT_TRUE(huge.WaitClosed(5s));

  Socket oversized(agent_->port());
  ASSERT_TRUE(oversized.Send("POST /print HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n"));
  EXPECT_TRUE(oversized.WaitClosed(5s));

  {
    Socket halfway(agent_->port());
    ASSERT_TRUE(halfway.Send("GET /barc"));
  }
  EXPECT_EQ(agent_->Get("/weight"), "DralminWeighter__callback({value: 0})");
}

TEST_F(AgentTest, ManyConnectionsAreServedOneRequestAtATime) {
  std::vector<std::unique_ptr<Socket>> sockets;
  for (int i = 0; i < 50; ++i) {
    sockets.push_back(std::make_unique<Socket>(agent_->port()));
    ASSERT_TRUE(sockets.back()->Send("GET /barcode HTTP/1.1\r\n\r\n"));
  }
  for (auto& socket : sockets) EXPECT_EQ(socket->ReadReply(), std::string(kHead) + "0\r\n\r\n");
}

TEST(AgentProcessTest, APortInUseEndsTheAgentWithAFailure) {
  HeldPort taken;
  ASSERT_NE(taken.port(), 0);
  // Shared, a port in use is another agent's, which hands this agent its user's connections.
  AgentProcess agent({"DRALMIN_HTTP_PORT=" + std::to_string(taken.port()),
                      "DRALMIN_SHARED_PORTS=false"},
                     AgentProcess::Role::Agent, false);
  EXPECT_NE(agent.WaitExit(10s), 0);
}

TEST(AgentProcessTest, OnlyOneAgentPerUser) {
  AgentProcess first;
  // A second agent with the same lock folder ends at once with 0 and never listens.
  AgentProcess second({"XDG_RUNTIME_DIR=" + first.home()}, AgentProcess::Role::Agent, false);
  EXPECT_EQ(second.WaitExit(10s), 0);
  EXPECT_FALSE(Socket(second.port()).ok());
  EXPECT_EQ(first.Get("/barcode"), "");
  EXPECT_EQ(first.Stop(), 0);
}

TEST(AgentProcessTest, ALockFileThatCannotBeMadeIsAFailure) {
  AgentProcess agent({"XDG_RUNTIME_DIR=/nonexistent"}, AgentProcess::Role::Agent, false);
  EXPECT_EQ(agent.WaitExit(10s), 1);
}

TEST(AgentProcessTest, ACertificateServerThatNeverAnswersHoldsNeitherRequestsNorTheStop) {
  RawHttpPeer silent("");
  AgentProcess agent({"DRALMIN_CERT_BASE_URL=" + silent.Url("/dist/cert/")},
                     AgentProcess::Role::Agent, false);
  ASSERT_TRUE(WaitFor([&] { return silent.Requests() == 1; }, 10s));
  // Served while the version is being fetched, which would otherwise take its 10 s time-out.
  ASSERT_TRUE(agent.WaitListening(5s));
  EXPECT_EQ(agent.Get("/barcode"), "");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.Stop(), 0);
  // The fetch alone would hold the stop for its 10 s time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(AgentProcessTest, StopEndsTheAgentWhileConnectionsAreOpen) {
  AgentProcess agent;
  Socket open(agent.port());
  ASSERT_TRUE(open.Send("GET /barcode HTTP/1.1\r\n\r\n"));
  ASSERT_FALSE(open.ReadReply().empty());
  EXPECT_EQ(agent.Stop(), 0);  // not killed after the deadline
  EXPECT_TRUE(open.WaitClosed(10s));
}

std::string WriteUserSettings(const TempFolder& config, const std::string& text) {
  const std::string path = config.path() + "/Dralmin/agent.conf";
  std::filesystem::create_directories(config.path() + "/Dralmin");
  std::ofstream(path) << text;
  return path;
}

TEST(AgentProcessTest, TheUserFileSetsThePortAndABadLineIsReported) {
  TempFolder config;
  const uint16_t port = FreePort();
  const std::string file =
      WriteUserSettings(config, "http_prot = 1\nhttp_port = " + std::to_string(port) + "\n");
  const std::string errors = config.path() + "/stderr";
  AgentProcess agent({"XDG_CONFIG_HOME=" + config.path(), "DRALMIN_HTTP_PORT="},
                     AgentProcess::Role::Agent, false, errors);
  EXPECT_TRUE(WaitFor([port] { return Socket(port).ok(); }, 10s));
  std::ostringstream said;
  said << std::ifstream(errors).rdbuf();
  EXPECT_NE(said.str().find(file + ":1: unknown key 'http_prot' (did you mean 'http_port'?)\n"),
            std::string::npos)
      << said.str();
}

TEST(AgentProcessTest, TheEnvironmentOverridesTheUserFile) {
  TempFolder config;
  WriteUserSettings(config, "http_port = " + std::to_string(FreePort()) + "\n");
  AgentProcess agent({"XDG_CONFIG_HOME=" + config.path()}, AgentProcess::Role::Agent, false);
  EXPECT_TRUE(agent.WaitListening());  // on its DRALMIN_HTTP_PORT
}

}  // namespace
}  // namespace dralmin::test
