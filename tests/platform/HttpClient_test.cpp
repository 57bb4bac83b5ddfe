#include "platform/HttpClient.h"

#include <gtest/gtest.h>

#include <future>

#include "tests/testkit/Helpers.h"
#include "tests/testkit/RawHttpPeer.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Answer(const std::string& head, const std::string& body) {
  return "HTTP/1.1 " + head + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

std::string Redirect(const std::string& location) {
  return "HTTP/1.1 301 Moved Permanently\r\nLocation: " + location +
         "\r\nContent-Length: 0\r\n\r\n";
}

TEST(CurlHttpClientTest, GetFollowsRedirectsToHttpOnlyAndPostFollowsNone) {
  RawHttpPeer target(Answer("200 OK", "7\n"), RawHttpPeer::Then::Close);
  RawHttpPeer moved(Redirect(target.Url("/dist/cert/last")), RawHttpPeer::Then::Close);
  CurlHttpClient http;

  const HttpResponse got = http.Get(moved.Url("/last"), HttpTimeouts{}, 128);
  EXPECT_TRUE(got.transportOk) << got.error;
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body, "7\n");

  const HttpResponse posted = http.Post(moved.Url("/upload"), {}, "page", HttpTimeouts{}, 128);
  EXPECT_EQ(posted.status, 301);
  EXPECT_EQ(target.Requests(), 1);

  RawHttpPeer elsewhere(Redirect("file:///etc/passwd"), RawHttpPeer::Then::Close);
  EXPECT_FALSE(http.Get(elsewhere.Url("/"), HttpTimeouts{}, 128).transportOk);

  RawHttpPeer loop(Redirect("/again"), RawHttpPeer::Then::Close);
  EXPECT_FALSE(http.Get(loop.Url("/"), HttpTimeouts{}, 128).transportOk);
  EXPECT_EQ(loop.Requests(), 6);  // the first request and five redirects
}

// A scale page that sends its lines and then holds the connection, promising more.
TEST(CurlHttpClientTest, WithAQuietPauseWhatArrivedIsTheAnswer) {
  RawHttpPeer scale("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n+00.512\r\nkg\r\n17\r\n");
  CurlHttpClient http;
  const HttpTimeouts timeouts{1s, 30s, 150ms, std::nullopt};
  const auto started = Clock::now();
  const HttpResponse got = http.Get(scale.Url("/"), timeouts, 1023);
  EXPECT_LT(Clock::now() - started, 10s);  // not the 30 s of the total time-out
  EXPECT_TRUE(got.transportOk) << got.error;
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body, "+00.512\r\nkg\r\n17\r\n");

  // Without a pause rule the same page is a failure once the total time-out passes.
  EXPECT_FALSE(http.Get(scale.Url("/"), HttpTimeouts{1s, 300ms, std::nullopt, std::nullopt}, 1023)
                   .transportOk);
  // A page that sends nothing at all still costs its time-out.
  RawHttpPeer silent("");
  EXPECT_FALSE(
      http.Get(silent.Url("/"), HttpTimeouts{1s, 300ms, 150ms, std::nullopt}, 1023).transportOk);
}

// A receiver that takes the post and then says nothing is given up on at the low-speed limit,
// long before the total time-out.
TEST(CurlHttpClientTest, ALowSpeedLimitEndsAStalledTransfer) {
  RawHttpPeer silent("");
  CurlHttpClient http;
  const HttpTimeouts timeouts{1s, 60s, std::nullopt, HttpLowSpeed{1024, 1s}};
  const auto started = Clock::now();
  const HttpResponse got = http.Post(silent.Url("/up"), {}, "page", timeouts, 128);
  EXPECT_LT(Clock::now() - started, 20s);
  EXPECT_FALSE(got.transportOk);
  EXPECT_NE(got.error.find("too slow"), std::string::npos) << got.error;
}

TEST(CurlHttpClientTest, ACancelEndsATransferInProgress) {
  RawHttpPeer silent("");
  std::atomic<bool> cancelled{false};
  CurlHttpClient http(&cancelled);
  auto result = std::async(std::launch::async, [&] {
    return http.Get(silent.Url("/last"), HttpTimeouts{1s, 60s, std::nullopt, std::nullopt}, 128);
  });
  ASSERT_TRUE(WaitFor([&] { return silent.Requests() == 1; }, 10s));
  cancelled = true;
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  const HttpResponse got = result.get();
  EXPECT_FALSE(got.transportOk);
  EXPECT_EQ(got.error, "cancelled");
}

}  // namespace
}  // namespace dralmin::test
