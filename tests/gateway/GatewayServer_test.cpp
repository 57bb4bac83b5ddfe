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
  EXPECT_EQ(
      failure.get_future().get(),
      "cannot listen on 127.0.0.1:" + std::to_string(first.port()) + ": Address already in use");

  settings.listenAddress = "not an address";
  EXPECT_THROW(GatewayServer(settings, handler), ListenerError);
}

// Refuses every page before its body: a request's head decides.
class RefusingHandler : public RecordingHandler {
 public:
  bool AdmitsHead(const Request&, std::string& refusal) override {
    refusal = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    return false;
  }
};

// The status line of a reply.
std::string StatusOf(const std::string& reply) {
  return reply.substr(0, reply.find('\r'));
}

TEST(GatewayServerTest, ARefusedHeadIsAnsweredBeforeItsBody) {
  RefusingHandler handler;
  RunningGateway gateway(handler);
  Socket socket(gateway.port());
  // Without a body the connection carries the next request.
  ASSERT_TRUE(socket.Send("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(socket.ReadReply(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(socket.ReadReply(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
  // A body that is never sent is never waited for, and the connection ends after the reply.
  ASSERT_TRUE(socket.Send("POST /print HTTP/1.1\r\nContent-Length: 60000000\r\n\r\n"));
  EXPECT_EQ(socket.ReadReply(),
            "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(socket.WaitClosed(5s));
  EXPECT_EQ(handler.Seen(), "");
}

TEST(GatewayServerTest, RequestsThatCannotBeTakenGetTheStatusThatSaysWhy) {
  RecordingHandler handler;
  GatewaySettings settings;
  settings.headerLimit = 1024;
  settings.bodyLimit = 1000;
  RunningGateway gateway(handler, settings);
  const struct {
    std::string request;
    std::string status;
  } cases[] = {
      {"GET /a HTTP/1.1\r\nX: " + std::string(2000, 'x') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"POST /print HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", "HTTP/1.1 413 Content Too Large"},
      {"POST /print HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3e9\r\n" +
           std::string(1001, 'x') + "\r\n",
       "HTTP/1.1 413 Content Too Large"},
      {"POST /print HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 501 Not Implemented"},
      {"POST /print HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
      {"GET /a HTTP/9.9\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  ::testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    Socket socket(gateway.port());
    ASSERT_TRUE(socket.Send(c.request));
    const std::string reply = socket.ReadReply();
    EXPECT_EQ(StatusOf(reply), c.status) << c.request.substr(0, 60);
    EXPECT_THAT(reply, ::testing::HasSubstr("\r\nConnection: close\r\n"));
    EXPECT_TRUE(socket.WaitClosed(5s));
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), std::size(cases)) << said;
  EXPECT_THAT(said, ::testing::HasSubstr("refused with 413 Content Too Large: the request body "
                                         "is longer than 1000 bytes"));
  EXPECT_EQ(handler.Seen(), "");
}

TEST(GatewayServerTest, BodiesOfAllConnectionsShareOneBudget) {
  RecordingHandler handler;
  GatewaySettings settings;
  settings.bodyBudget = 1000;
  RunningGateway gateway(handler, settings);
  const std::string post = "POST /print HTTP/1.1\r\nContent-Length: 600\r\n\r\n";

  // "100 Continue" comes once the body has its share.
  Socket holding(gateway.port());
  ASSERT_TRUE(
      holding.Send("POST /print HTTP/1.1\r\nContent-Length: 600\r\n"
                   "Expect: 100-continue\r\n\r\n"));
  ASSERT_EQ(StatusOf(holding.ReadReply()), "HTTP/1.1 100 Continue");

  // A second cannot be held as well; a chunked body is charged as it arrives.
  Socket refused(gateway.port());
  ASSERT_TRUE(refused.Send(post));
  EXPECT_EQ(StatusOf(refused.ReadReply()), "HTTP/1.1 503 Service Unavailable");
  Socket chunked(gateway.port());
  ASSERT_TRUE(chunked.Send("POST /print HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n258\r\n" +
                           std::string(600, 'x') + "\r\n0\r\n\r\n"));
  EXPECT_EQ(StatusOf(chunked.ReadReply()), "HTTP/1.1 503 Service Unavailable");

  // Once the first body is handed over and its reply sent, its share is free again.
  ASSERT_TRUE(holding.Send(std::string(600, 'x')));
  EXPECT_EQ(StatusOf(holding.ReadReply()), "HTTP/1.1 200 OK");
  Socket next(gateway.port());
  ASSERT_TRUE(next.Send(post + std::string(600, 'y')));
  EXPECT_EQ(StatusOf(next.ReadReply()), "HTTP/1.1 200 OK");
}

TEST(GatewayServerTest, ConnectionsPastTheLimitAreRefusedUntilOneEnds) {
  RecordingHandler handler;
  GatewaySettings settings;
  settings.maxConnections = 2;
  RunningGateway gateway(handler, settings);
  auto first = std::make_unique<Socket>(gateway.port());
  Socket second(gateway.port());
  for (Socket* socket : {first.get(), &second}) {
    ASSERT_TRUE(socket->Send("GET /a HTTP/1.1\r\n\r\n"));
    ASSERT_EQ(StatusOf(socket->ReadReply()), "HTTP/1.1 200 OK");
  }
  Socket third(gateway.port());
  // A refusal holds a descriptor while it drains; past one at once (an eighth of the cap, at least
  // one) a connection is closed without a word, so that refusals cannot use up the descriptors.
  Socket fourth(gateway.port());
  EXPECT_EQ(StatusOf(third.ReadReply()), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(fourth.ReadReply(1s), "");
  EXPECT_TRUE(fourth.WaitClosed(5s));
  EXPECT_TRUE(third.WaitClosed(5s));

  first.reset();
  EXPECT_TRUE(test::WaitFor(
      [&] {
        Socket next(gateway.port());
        return next.Send("GET /a HTTP/1.1\r\n\r\n") &&
               StatusOf(next.ReadReply()) == "HTTP/1.1 200 OK";
      },
      5s));
}

}  // namespace
}  // namespace dralmin
