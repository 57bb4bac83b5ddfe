#include "gateway/PortSharing.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "gateway/GatewayThread.h"
#include "tests/testkit/Helpers.h"
#include "tests/testkit/RunningGateway.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;

class FixedReply : public RequestHandler {
 public:
  std::string HandleRequest(const Request&) override {
    return "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  }
};

// One request on a new connection to `address`; the reply, or "" when none came.
std::string Ask(const char* address, std::uint16_t port) {
  sockaddr_storage storage{};
  socklen_t size;
  auto& in = reinterpret_cast<sockaddr_in&>(storage);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (inet_pton(AF_INET, address, &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    size = sizeof in;
  } else {
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    size = sizeof in6;
  }
  const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string reply;
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  if (connect(fd, reinterpret_cast<sockaddr*>(&storage), size) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char chunk[256];
    ssize_t got;
    while ((got = recv(fd, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, got);
  }
  close(fd);
  return reply;
}

// With nobody else on the ports, the agent holds them itself on both loopback addresses, accepts
// on a thread of its own and serves its user's connections on the poll thread.
TEST(PortSharingTest, AnAgentHoldingThePortsServesItsUserOnBothLoopbacks) {
  FixedReply handler;
  GatewaySettings settings;
  settings.sharedPorts = true;
  settings.httpPort = test::FreePort();
  settings.portsReport = std::make_shared<PortsReport>();
  GatewayThread thread([&] { return std::make_unique<GatewayServer>(settings, handler); },
                       [](const std::string& what) { ADD_FAILURE() << what; });
  const std::string port = std::to_string(settings.httpPort);
  ASSERT_TRUE(test::WaitFor([&] { return !Ask("127.0.0.1", settings.httpPort).empty(); }, 10s));
  EXPECT_EQ(Ask("127.0.0.1", settings.httpPort), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  const PortsView view = settings.portsReport->Get();
  EXPECT_EQ(view.holder, PortsView::Holder::kThisAgent);
  ASSERT_FALSE(view.plain.empty());
  EXPECT_EQ(view.plain[0], "127.0.0.1:" + port);
  if (view.plain.size() == 2) {  // a machine with IPv6
    EXPECT_EQ(view.plain[1], "[::1]:" + port);
    EXPECT_EQ(Ask("::1", settings.httpPort), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  }
}

// With shared ports a port in use is another user's agent's only when it answers as one at the
// rendezvous; any other program on it, and an address this machine lacks, end the start.
TEST(GatewayServerTest, SharedPortsHeldByAProgramThatIsNotAnAgentFailWithTheListenerError) {
  FixedReply handler;
  test::RunningGateway other(handler);
  GatewaySettings settings;
  settings.sharedPorts = true;
  settings.httpPort = other.port();
  try {
    GatewayServer server(settings, handler);
    ADD_FAILURE() << "a port held by a program that is not an agent was taken as shared";
  } catch (const ListenerError& error) {
    EXPECT_THAT(
        error.what(),
        testing::HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(other.port()) +
                           ": Address already in use, held by user " + std::to_string(geteuid()) +
                           " (process " + std::to_string(getpid()) + ", "));
    EXPECT_THAT(error.what(), testing::EndsWith("), which does not answer as an agent"));
  }
  settings.listenAddress = "192.0.2.1";
  settings.httpPort = test::FreePort();
  try {
    GatewayServer server(settings, handler);
    ADD_FAILURE() << "an address this machine lacks was taken";
  } catch (const ListenerError& error) {
    EXPECT_STREQ(error.what(), ("cannot listen on 192.0.2.1:" + std::to_string(settings.httpPort) +
                                ": this machine has no such address")
                                   .c_str());
  }
}

}  // namespace
}  // namespace dralmin
