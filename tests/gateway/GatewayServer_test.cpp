#include "gateway/GatewayServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <future>
#include <mutex>

#include "gateway/GatewayThread.h"
#include "tests/testkit/Helpers.h"
#include "tests/testkit/RunningGateway.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using test::RunningGateway;
using test::Socket;

// Records what the network layer hands over and answers with a fixed reply.
class RecordingHandler : public RequestHandler {
 public:
  std::string HandleRequest(const Request& request) override {
    std::lock_guard lock(mutex);
    seen = std::string(request.method) + " " + std::string(request.uri) + " [" +
           std::string(request.body) + "] origin=" + std::string(request.origin.value_or("-")) +
           " type=" + std::string(request.contentType.value_or("-"));
    return "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  }
  std::string Seen() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::string seen;
};

TEST(GatewayServerTest, HandsOverTheParsedRequestWithoutTheQuery) {
  RecordingHandler handler;
  RunningGateway gateway(handler);
  Socket socket(gateway.port());
  ASSERT_TRUE(socket.Send(
      "POST /print?copies=2 HTTP/1.1\r\nOrigin: http://a\r\nContent-Type: text/plain\r\n"
      "Content-Length: 3\r\n\r\nxyz"));
  EXPECT_EQ(socket.ReadReply(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_EQ(handler.Seen(), "POST /print [xyz] origin=http://a type=text/plain");
}

TEST(GatewayServerTest, ConnectionCloseIsHonouredAfterTheReply) {
  RecordingHandler handler;
  RunningGateway gateway(handler);
  Socket socket(gateway.port());
  ASSERT_TRUE(socket.Send("GET /a HTTP/1.1\r\nConnection: close\r\n\r\n"));
  EXPECT_FALSE(socket.ReadReply().empty());
  EXPECT_TRUE(socket.WaitClosed(2s));
}

TEST(GatewayServerTest, IdleConnectionsAreDropped) {
  RecordingHandler handler;
  GatewaySettings settings;
  settings.idleTimeout = 1s;
  RunningGateway gateway(handler, settings);
  Socket socket(gateway.port());
  ASSERT_TRUE(socket.Send("GET /a HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(socket.ReadReply().empty());
  EXPECT_TRUE(socket.WaitClosed(20s));
}

// Connects, sends `bytes`, and resets the connection as a browser may.
void SendAndReset(uint16_t port, const std::string& bytes) {
  Socket socket(port);
  ASSERT_TRUE(socket.ok());
  ASSERT_TRUE(socket.Send(bytes));
  socket.Reset();
}

TEST(GatewayServerTest, ABadRequestIsSaidOnceAndAPeerThatLeavesIsNot) {
  RecordingHandler handler;
  RunningGateway gateway(handler);
  ::testing::internal::CaptureStderr();
  Socket(gateway.port());  // connects and closes without a word
  SendAndReset(gateway.port(), "GET /a HTTP/1.1\r\n\r\n");
  Socket served(gateway.port());
  ASSERT_TRUE(served.Send("GET /a HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(served.ReadReply().empty());

  Socket bad(gateway.port());
  ASSERT_TRUE(bad.Send("GET /a HTTP/9.9\r\n\r\n"));
  EXPECT_TRUE(bad.WaitClosed(5s));
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_THAT(said, ::testing::HasSubstr("gateway: connection from 127.0.0.1:"));
  EXPECT_THAT(said, ::testing::HasSubstr("request head"));
}

TEST(GatewayServerTest, StopClosesConnectionsAndTheListener) {
  RecordingHandler handler;
  RunningGateway gateway(handler);
  Socket socket(gateway.port());
  ASSERT_TRUE(socket.Send("GET /a HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(socket.ReadReply().empty());

  gateway.thread().Stop();
  EXPECT_TRUE(socket.WaitClosed(10s));
  EXPECT_FALSE(Socket(gateway.port()).ok());
}

TEST(GatewayServerTest, StopRightAfterStartDoesNotHang) {
  RecordingHandler handler;
  for (int i = 0; i < 20; ++i) {
    GatewaySettings settings;
    settings.httpPort = 0;
    GatewayThread thread([&] { return std::make_unique<GatewayServer>(settings, handler); },
                         [](const std::string&) {});
    thread.Stop();
  }
}

TEST(GatewayServerTest, ABoundPortFailsWithTheListenerError) {
  RecordingHandler handler;
  RunningGateway first(handler);
  GatewaySettings settings;
  settings.httpPort = first.port();
  std::promise<std::string> failure;
  GatewayThread second([&] { return std::make_unique<GatewayServer>(settings, handler); },
                       [&](const std::string& what) { failure.set_value(what); });
  EXPECT_EQ(failure.get_future().get(), "Failed to create listener");

  settings.listenAddress = "not an address";
  EXPECT_THROW(GatewayServer(settings, handler), ListenerError);
}

}  // namespace
}  // namespace dralmin
