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

// The agent's own addresses on its default ports.
std::vector<std::string> AgentSelfOriginsForTest() {
  std::vector<std::string> origins;
  for (const char* host : {"127.0.0.1", "localhost", "[::1]"}) {
    origins.push_back("http://" + std::string(host) + ":8081");
    origins.push_back("https://" + std::string(host) + ":8433");
  }
  return origins;
}

// Whether `text` is well-formed UTF-8 (the byte ranges of Unicode's table 3-7) holding no control
// character but the line end.
bool IsUtf8WithoutControls(const std::string& text) {
  struct Range {
    unsigned char low, high;
  };
  // The lead bytes and the ranges of the bytes that follow them.
  const std::vector<std::vector<Range>> forms = {
      {{0x00, 0x7F}},
      {{0xC2, 0xDF}, {0x80, 0xBF}},
      {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}},
      {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}},
      {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}},
      {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}};
  for (std::size_t i = 0; i < text.size();) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if ((at(0) < 0x20 && at(0) != '\n') || at(0) == 0x7F) return false;
    if (at(0) == 0xC2 && i + 1 < text.size() && at(1) <= 0x9F) return false;  // C1
    std::size_t length = 0;
    for (const std::vector<Range>& form : forms) {
      if (at(0) < form[0].low || at(0) > form[0].high || i + form.size() > text.size()) continue;
      bool fits = true;
      for (std::size_t k = 1; k < form.size(); ++k) {
        fits = fits && at(k) >= form[k].low && at(k) <= form[k].high;
      }
      if (fits) length = form.size();
    }
    if (length == 0) return false;
    i += length;
  }
  return true;
}

Request Get(std::string_view uri) {
  Request request;
  request.method = "GET";
  request.uri = uri;
  request.host = "127.0.0.1:8081";
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

// After DNS rebinding a page's own name points at 127.0.0.1: its fetch carries no Origin or
// Referer, only that name as its Host.
TEST(StatusPageTest, OnlyTheAgentsOwnLoopbackNamesAndPortsAreAnswered) {
  for (std::string_view host : {"127.0.0.1:8081", "LOCALHOST:8433", "[::1]:8081"}) {
    Request own = Get("/agent/status");
    own.host = host;
    EXPECT_TRUE(StatusRequestAllowed(own, AgentSelfOriginsForTest())) << host;
  }
  for (std::string_view host : {"shop.example:8081", "127.0.0.1", "127.0.0.1:80", "127.0.0.2:8081",
                                "localhost.:8081", "127.0.0.1:8081.evil.example", ""}) {
    Request rebound = Get("/agent/status");
    rebound.host = host;
    EXPECT_FALSE(StatusRequestAllowed(rebound, AgentSelfOriginsForTest())) << host;
  }
  Request none = Get("/agent/status");
  none.host.reset();
  EXPECT_FALSE(StatusRequestAllowed(none, AgentSelfOriginsForTest()));
}

// What a page sent may reach the log: bytes that are not UTF-8 and control characters (C1's CSI
// drives a terminal as ESC [ does) are shown escaped in every form, and the JSON stays UTF-8.
TEST(StatusPageTest, BytesThatAreNotUtf8AndControlCharactersAreShownEscaped) {
  StatusReport report;
  report.version = "1.0";
  report.logLines = {"value \xff\xc0\xaf end",
                     "csi \xc2\x9b"
                     "2J esc \x1b[31m tab\t",
                     "cut \xe2\x82", "ok \xd0\x96 \xe2\x82\xac \xf0\x9f\x98\x80"};
  const std::string json = RenderStatusJson(report);
  EXPECT_THAT(json, HasSubstr(R"("value \\xff\\xc0\\xaf end")"));
  EXPECT_THAT(json, HasSubstr(R"("csi \u009b2J esc \u001b[31m tab\u0009")"));
  EXPECT_THAT(json, HasSubstr(R"("cut \\xe2\\x82")"));
  EXPECT_THAT(json, HasSubstr("\"ok \xd0\x96 \xe2\x82\xac \xf0\x9f\x98\x80\""));  // kept as sent
  for (const std::string& form : {json, RenderStatusText(report), RenderStatusHtml(report),
                                  PrintableLines(report.logLines[1])}) {
    EXPECT_TRUE(IsUtf8WithoutControls(form)) << form;
  }
  EXPECT_THAT(RenderStatusText(report), HasSubstr("  csi \\u009b2J esc \\u001b[31m tab\\u0009\n"));
  EXPECT_THAT(RenderStatusHtml(report), HasSubstr("value \\xff\\xc0\\xaf end\n"));
  EXPECT_EQ(PrintableLines("a\x1b\nb\xff\n"), "a\\u001b\nb\\xff\n");
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
  EXPECT_THAT(html, HasSubstr("a &quot;b&quot;\\u000a&amp;"));
  EXPECT_THAT(html, HasSubstr("<meta charset=\"utf-8\">"));

  const std::string json = RenderStatusJson(report);
  EXPECT_THAT(
      json,
      HasSubstr(
          R"("devices":[{"name":"sdk","value":"\u003cscript>alert(1)\u003c/script>","detail":"a \"b\"\u000a&"}])"));
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
  EXPECT_THAT(reply,
              StartsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8"));
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
