#include "gateway/StatusPage.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gateway/Router.h"
#include "tests/testkit/AbsentEndpoints.h"

namespace dralmin {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::vector<std::string> kSelf = {"http://127.0.0.1:8081", "https://127.0.0.1:8433"};

Request Get(std::string_view uri) {
  Request request;
  request.method = "GET";
  request.uri = uri;
  return request;
}

TEST(StatusPageTest, OnlyTheUsersOwnNavigationMayReadThePage) {
  Request typed = Get("/agent/status");
  EXPECT_TRUE(StatusRequestAllowed(typed, kSelf));  // curl, or an old browser
  typed.fetchSite = "none";
  EXPECT_TRUE(StatusRequestAllowed(typed, kSelf));
  Request reload = Get("/agent/status");
  reload.fetchSite = "same-origin";
  reload.referer = "https://127.0.0.1:8433/agent/status";
  EXPECT_TRUE(StatusRequestAllowed(reload, kSelf));

  for (std::string_view origin : {"https://shop.example", "null", "http://127.0.0.1:8081"}) {
    Request scripted = Get("/agent/status");
    scripted.origin = origin;
    EXPECT_FALSE(StatusRequestAllowed(scripted, kSelf)) << origin;
  }
  for (std::string_view site : {"cross-site", "same-site", "anything"}) {
    Request embedded = Get("/agent/status");
    embedded.fetchSite = site;
    EXPECT_FALSE(StatusRequestAllowed(embedded, kSelf)) << site;
  }
  // Another program on the same machine is another site.
  for (std::string_view referer :
       {"https://shop.example/till", "http://127.0.0.1:3000/", "http://localhost:8081/", "junk"}) {
    Request linked = Get("/agent/status");
    linked.referer = referer;
    EXPECT_FALSE(StatusRequestAllowed(linked, kSelf)) << referer;
  }
}

TEST(StatusPageTest, TextsOfTheAgentCannotBecomeMarkupOrBreakTheJson) {
  StatusReport report;
  report.version = "1.0";
  report.sections.push_back(
      {"devices", "Устройства", "Devices", {{"sdk", "<script>alert(1)</script>", "a \"b\"\n&"}}});
  report.logLines = {"error x: '</pre><img src=x>'"};

  const std::string html = RenderStatusHtml(report);
  EXPECT_THAT(html, Not(HasSubstr("<script")));
  EXPECT_THAT(html, Not(HasSubstr("<img src=x")));
  EXPECT_THAT(html, HasSubstr("&lt;script&gt;alert(1)&lt;/script&gt;"));
  EXPECT_THAT(html, HasSubstr("a &quot;b&quot;\n&amp;"));
  EXPECT_THAT(html, HasSubstr("<meta charset=\"utf-8\">"));

  const std::string json = RenderStatusJson(report);
  EXPECT_THAT(json, HasSubstr(R"("devices":[{"name":"sdk","value":"\u003cscript>alert(1)\u003c/script>","detail":"a \"b\"\u000a&"}])"));
  EXPECT_THAT(json, HasSubstr(R"("log":["error x: '\u003c/pre>\u003cimg src=x>'"])"));
}


StatusPage Page(int& collected) {
  return StatusPage{kSelf, [&collected] {
                      ++collected;
                      StatusReport report;
                      report.version = "9.9";
                      return report;
                    }};
}

TEST(StatusPageTest, ThePageIsServedWhereDevicesAreRefusedAndKeptFromOtherSites) {
  AbsentEndpoints endpoints;
  int collected = 0;
  // No page origin is allowed to use the devices.
  Router router(endpoints, OriginPolicy(std::vector<std::string>{}), Page(collected));

  Request json = Get("/agent/status");
  json.accept = "application/json";
  const std::string reply = router.HandleRequest(json);
  EXPECT_THAT(reply, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8"));
  EXPECT_THAT(reply, HasSubstr("\r\nX-Frame-Options: DENY\r\n"));
  EXPECT_THAT(reply, HasSubstr("\r\nCache-Control: no-store\r\n"));
  EXPECT_THAT(reply, HasSubstr("\r\nContent-Security-Policy: default-src 'none';"));
  EXPECT_THAT(reply, Not(HasSubstr("Access-Control")));
  EXPECT_THAT(reply, HasSubstr("\"version\":\"9.9\""));

  const std::string html = router.HandleRequest(Get("/agent/%73tatus"));  // escapes decoded
  EXPECT_THAT(html, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8"));
  EXPECT_EQ(collected, 2);

  Request scripted = Get("/agent/status");
  scripted.origin = "https://shop.example";
  const std::string refused = router.HandleRequest(scripted);
  EXPECT_THAT(refused, StartsWith("HTTP/1.1 403 Forbidden\r\n"));
  EXPECT_THAT(refused, HasSubstr("\r\nContent-Length: 0\r\n\r\n"));
  EXPECT_THAT(refused, Not(HasSubstr("Access-Control")));
  // The gateway asks with the head alone, before any body: the same rules answer there.
  std::string early;
  EXPECT_TRUE(router.AdmitsHead(Get("/agent/status"), early));
  EXPECT_FALSE(router.AdmitsHead(scripted, early));
  EXPECT_EQ(early, refused);
  EXPECT_EQ(collected, 2);  // nothing was gathered for it
}

TEST(StatusPageTest, ThePageCountsRequestsAndRefusedOriginsButNeverWhatTheyCarried) {
  AbsentEndpoints endpoints;
  int collected = 0;
  Router router(endpoints, OriginPolicy(std::vector<std::string>{"https://till.example"}),
                Page(collected));
  Request allowed = Get("/barcode");
  allowed.origin = "https://till.example";
  router.HandleRequest(allowed);
  router.HandleRequest(allowed);
  Request stranger = Get("/finger/secret-id");
  stranger.origin = "https://other.example";
  router.HandleRequest(stranger);
  router.HandleRequest(stranger);
  router.HandleRequest(stranger);

  Request text = Get("/agent/status");
  text.accept = "text/plain";
  const std::string page = router.HandleRequest(text);
  EXPECT_THAT(page, HasSubstr("Content-Type: text/plain; charset=utf-8"));
  EXPECT_THAT(page, HasSubstr("  /barcode: 2\n"));
  EXPECT_THAT(page, HasSubstr("  refused: 3\n"));
  EXPECT_THAT(page, HasSubstr("  the page origin https://other.example: 3\n"));
  EXPECT_THAT(page, Not(HasSubstr("secret-id")));
}

TEST(StatusPageTest, WithoutThePageItsPathAnswersAsBefore) {
  AbsentEndpoints endpoints;
  Router router(endpoints);
  const std::string reply = router.HandleRequest(Get("/agent/status"));
  EXPECT_THAT(reply, StartsWith("HTTP/1.1 200 OK\r\nContent-Type: text/javascript"));
  EXPECT_THAT(reply, HasSubstr("Scanner not found. Code: 1"));
}

}  // namespace
}  // namespace dralmin
