#include "gateway/Router.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DralminVersion.h"
#include "replies/PercentDecode.h"
#include "tests/testkit/AbsentEndpoints.h"

namespace dralmin {
namespace {

using ::testing::_;
using ::testing::Return;
using ::testing::StrictMock;

class MockEndpoints : public Endpoints {
 public:
  MOCK_METHOD(std::string, FingerprintEndpoint, (const std::string&), (override));
  MOCK_METHOD(std::string, GetBarcode, (), (override));
  MOCK_METHOD(void, StartScan, (const std::string&), (override));
  MOCK_METHOD(std::string, GetScan, (const std::string&), (override));
  MOCK_METHOD(std::string, PrintForm, (const Request&), (override));
  MOCK_METHOD(std::string, GetWeight, (), (override));
  MOCK_METHOD(std::string, GetIpWeight, (const std::string&), (override));
};

std::string BodyAfterHead(const std::string& reply) {
  return reply.substr(reply.find("\r\n\r\n") + 4);
}

Request Make(std::string_view method, std::string_view uri) {
  Request request;
  request.method = method;
  request.uri = uri;
  return request;
}

TEST(PercentDecodeTest, DecodesEscapesAndKeepsEverythingElse) {
  EXPECT_EQ(PercentDecode("%3F"), "?");
  EXPECT_EQ(PercentDecode("%d0%9F"), "\xD0\x9F");
  EXPECT_EQ(PercentDecode("a+b%20c"), "a+b c");
  EXPECT_EQ(PercentDecode("%00"), std::string(1, '\0'));  // an explicit NUL is still a byte
  EXPECT_EQ(PercentDecode(""), "");
}

TEST(PercentDecodeTest, PercentWithoutHexDigitsYieldsNoByte) {
  EXPECT_EQ(PercentDecode("ab%"), "ab");        // the last character is consumed
  EXPECT_EQ(PercentDecode("ab%4"), "ab\x04");   // one digit before the end
  EXPECT_EQ(PercentDecode("%zzok"), "ok");      // two characters consumed, nothing produced
  EXPECT_EQ(PercentDecode("%4zok"), "\x04ok");  // the leading digits count
  EXPECT_EQ(PercentDecode("%%41"), "1");        // "%%4" gives nothing, then "1"
  EXPECT_EQ(PercentDecode("x%g"), "x");
}

TEST(RouterTest, FramesEveryBodyWithTheFixedHead) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints);
  EXPECT_CALL(endpoints, GetBarcode()).WillOnce(Return("\xCF\xF0\xE8"));  // three bytes
  EXPECT_EQ(router.HandleRequest(Make("GET", "/barcode")),
            "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
            "Content-Length: 3\r\n\r\n\xCF\xF0\xE8");
}

TEST(RouterTest, PreflightForAnyLeadingPartOfOptions) {
  StrictMock<MockEndpoints> endpoints;  // no endpoint is called for a preflight
  Router router(endpoints);
  Request request = Make("OPT", "/weight");
  const std::string plain = router.HandleRequest(request);
  EXPECT_EQ(plain.find("Access-Control-Allow-Origin"), std::string::npos);
  EXPECT_NE(plain.find("Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n\r\n"),
            std::string::npos);
  request.origin = "null";
  EXPECT_NE(router.HandleRequest(request).find("Access-Control-Allow-Origin: null\r\n"),
            std::string::npos);

  // A longer method is no preflight: it is routed (to the fingerprint endpoint, as no other
  // route takes it).
  EXPECT_CALL(endpoints, FingerprintEndpoint("")).WillOnce(Return("f"));
  EXPECT_EQ(BodyAfterHead(router.HandleRequest(Make("OPTIONSX", "/"))), "f");
}

TEST(RouterTest, PrivateNetworkPreflightIsAllowedAndOthersKeepTheirBytes) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints);
  Request request = Make("OPTIONS", "/barcode");
  request.origin = "https://shop.example";
  const std::string plain = router.HandleRequest(request);

  request.privateNetworkRequest = "true";
  EXPECT_EQ(router.HandleRequest(request),
            "HTTP/1.1 200 OK\r\n"
            "Server: DralminTrayAgent/" DRALMIN_VERSION
            "\r\n"
            "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
            "Access-Control-Max-Age: 600\r\n"
            "Access-Control-Allow-Origin: https://shop.example\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "Content-Length: 0\r\n\r\n");

  // Only the exact "true" asks; anything else leaves the reply as it always was.
  for (const char* value : {"false", "", "TRUE", "true ", "1"}) {
    request.privateNetworkRequest = value;
    EXPECT_EQ(router.HandleRequest(request), plain) << "'" << value << "'";
  }

  // Without an Origin the line still comes, right before the length.
  Request bare = Make("OPT", "/");
  bare.privateNetworkRequest = "true";
  EXPECT_NE(router.HandleRequest(bare).find("Access-Control-Max-Age: 600\r\n"
                                            "Access-Control-Allow-Private-Network: true\r\n"
                                            "Content-Length: 0\r\n\r\n"),
            std::string::npos);
}

TEST(RouterTest, RowsAreTriedInOrderWithTheirMethodTests) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints);

  EXPECT_CALL(endpoints, FingerprintEndpoint("12")).WillOnce(Return("row1"));
  EXPECT_EQ(router.Route(Make("DELETE", "/finger/12")), "row1");

  EXPECT_CALL(endpoints, GetBarcode()).Times(2).WillRepeatedly(Return("row2"));
  EXPECT_EQ(router.Route(Make("GET", "/barcode")), "row2");
  EXPECT_EQ(router.Route(Make("POST", "/barc%6Fde")), "row2");  // matched after decoding

  EXPECT_CALL(endpoints, PrintForm(_)).Times(2).WillRepeatedly(Return("row5"));
  EXPECT_EQ(router.Route(Make("POST", "/print")), "row5");
  EXPECT_EQ(router.Route(Make("POSTX", "/printer")), "row5");

  EXPECT_CALL(endpoints, GetWeight()).Times(2).WillRepeatedly(Return("row6"));
  EXPECT_EQ(router.Route(Make("GET", "/weight")), "row6");
  EXPECT_EQ(router.Route(Make("GET", "/weights")), "row6");

  EXPECT_CALL(endpoints, GetIpWeight("10.0.0.5:80/w")).WillOnce(Return("row7"));
  EXPECT_EQ(router.Route(Make("GET", "/ip_weight/10.0.0.5:80/w")), "row7");

  // Everything else, including wrong methods and wrong case, is a fingerprint request without id.
  EXPECT_CALL(endpoints, FingerprintEndpoint("")).Times(7).WillRepeatedly(Return("row8"));
  for (const auto& [method, path] :
       std::vector<std::pair<const char*, const char*>>{{"GET", "/print"},
                                                        {"POST", "/weight"},
                                                        {"PUT", "/ip_weight/x"},
                                                        {"GET", "/Finger/12"},
                                                        {"GET", "/barcode/"},
                                                        {"GET", "/"},
                                                        {"GET", "/favicon.ico"}}) {
    EXPECT_EQ(router.Route(Make(method, path)), "row8") << method << " " << path;
  }
}

TEST(RouterTest, FingerprintIdIsCutAtAQuestionMarkPastTheFirstCharacter) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints);
  EXPECT_CALL(endpoints, FingerprintEndpoint("ab")).WillOnce(Return(""));
  router.Route(Make("GET", "/finger/ab%3Fcd"));
  EXPECT_CALL(endpoints, FingerprintEndpoint("?ab")).WillOnce(Return(""));
  router.Route(Make("GET", "/finger/%3Fab"));
  EXPECT_CALL(endpoints, FingerprintEndpoint("")).WillOnce(Return(""));
  router.Route(Make("GET", "/finger/"));
}

TEST(RouterTest, ScanStartAndCollectionGetTheRestOfTheirPaths) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints);
  EXPECT_CALL(endpoints, StartScan("abc"));
  EXPECT_EQ(router.Route(Make("GET", "/scan/abc")), "");
  EXPECT_CALL(endpoints, GetScan("abc/file/host")).WillOnce(Return("ids"));
  EXPECT_EQ(router.Route(Make("GET", "/getscan/abc/file/host")), "ids");
}

// An endpoint that calls back into the router while weighing sees the busy form.
class ReentrantWeight : public AbsentEndpoints {
 public:
  Router* router = nullptr;
  std::string inner;
  std::string GetWeight() override {
    inner = router->Route(Make("GET", "/weight"));
    return "outer";
  }
};

TEST(RouterTest, WeightBusyAnswersTheBusyFormAndIsClearedAfterwards) {
  ReentrantWeight endpoints;
  Router router(endpoints);
  endpoints.router = &router;
  EXPECT_EQ(router.Route(Make("GET", "/weight")), "outer");
  EXPECT_EQ(endpoints.inner, "DralminWeighter__callback({value: -.001})");
  endpoints.router = nullptr;
}

TEST(RouterTest, APageThatIsNotAllowedGetsForbiddenAndReachesNoDevice) {
  StrictMock<MockEndpoints> endpoints;  // a refused request calls nothing
  Router router(endpoints, OriginPolicy({{"https://shop.example"}}));
  constexpr std::string_view kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

  Request scan = Make("GET", "/scan/abc");
  scan.referer = "http://127.0.0.1:5555/page";
  EXPECT_EQ(router.HandleRequest(scan), kForbidden);
  Request preflight = Make("OPTIONS", "/print");
  preflight.origin = "http://127.0.0.1:5555";
  EXPECT_EQ(router.HandleRequest(preflight), kForbidden);

  // The allowed page gets exactly what it got before there was a list.
  Request barcode = Make("GET", "/barcode");
  barcode.referer = "https://shop.example/till?_=1";
  EXPECT_CALL(endpoints, GetBarcode()).WillOnce(Return("b"));
  EXPECT_EQ(router.HandleRequest(barcode),
            "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
            "Content-Length: 1\r\n\r\nb");
}

TEST(RouterTest, TheFirstRefusalOfEachOriginIsReportedOnce) {
  StrictMock<MockEndpoints> endpoints;
  Router router(endpoints, OriginPolicy({{"https://shop.example"}}));
  Request evil = Make("GET", "/barcode");
  evil.referer = "http://evil.example/a";
  Request other = Make("GET", "/weight");
  other.origin = "null";
  ::testing::internal::CaptureStderr();
  router.HandleRequest(evil);
  router.HandleRequest(other);
  evil.referer = "http://evil.example/b?c";
  router.HandleRequest(evil);
  router.HandleRequest(other);
  const std::string said = ::testing::internal::GetCapturedStderr();
  // Only the syntax that GoogleTest's own regular expressions have on Windows too.
  EXPECT_THAT(said, ::testing::MatchesRegex(
                        ".* warning gateway: refused the page origin http://evil.example: "
                        "allowed_origins does not list it\n"
                        ".* warning gateway: refused pages with \"Origin: null\": "
                        "allowed_origins does not list it\n"));
}

}  // namespace
}  // namespace dralmin
