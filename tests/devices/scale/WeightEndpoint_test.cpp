#include "devices/scale/WeightEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "simulators/netscale/NetScaleServer.h"
#include "tests/devices/scale/FakeSerialPort.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

constexpr std::string_view kFailed = "DralminWeighter__callback({value: 0})";

TEST(FormatDoubleTest, PrintsSixDecimalsLikePrintf) {
  EXPECT_EQ(FormatDouble(1.25), "1.250000");
  EXPECT_EQ(FormatDouble(-1.2), "-1.200000");
  EXPECT_EQ(FormatDouble(0.0), "0.000000");
  EXPECT_EQ(FormatDouble(0.45359237), "0.453592");
  EXPECT_EQ(FormatDouble(5.6699046250), "5.669905");
  EXPECT_EQ(FormatDouble(9999999.0), "9999999.000000");
  // An overloaded scale: a script literal, not printf's "inf".
  EXPECT_EQ(FormatDouble(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(FormatDouble(1e300).size(), 301u + 7u);
}

TEST(SplitNetworkReadingTest, SplitsLinesAtLineFeedsWithOrWithoutCarriageReturns) {
  NetworkReading reading = SplitNetworkReading("+00.512\r\nkg\r\n17\r\n");
  EXPECT_EQ(reading.value, "0.512");
  EXPECT_EQ(reading.counter, "17");

  reading = SplitNetworkReading("1.5\nkg\n18\nmore\n");
  EXPECT_EQ(reading.value, "1.5");
  EXPECT_EQ(reading.counter, "18");

  // The third line may run to the end; a CR not before a LF belongs to the line.
  reading = SplitNetworkReading("1.5\r\nkg\r\n19\r");
  EXPECT_EQ(reading.counter, "19\r");
  reading = SplitNetworkReading("1.5\n\n");
  EXPECT_EQ(reading.counter, "");
}

TEST(SplitNetworkReadingTest, FewerThanTwoLineFeedsGiveCounterZero) {
  NetworkReading reading = SplitNetworkReading("0.750");
  EXPECT_EQ(reading.value, "0.750");
  EXPECT_EQ(reading.counter, "0");

  reading = SplitNetworkReading("0.750\r\nkg 17 anything");
  EXPECT_EQ(reading.value, "0.750");
  EXPECT_EQ(reading.counter, "0");

  reading = SplitNetworkReading("");
  EXPECT_EQ(reading.value, "");
  EXPECT_EQ(reading.counter, "0");
}

TEST(SplitNetworkReadingTest, DropsOnlyALeadingPlusZero) {
  EXPECT_EQ(SplitNetworkReading("-1.5").value, "-1.5");
  EXPECT_EQ(SplitNetworkReading("+12.5").value, "+12.5");
  EXPECT_EQ(SplitNetworkReading("+0.5").value, ".5");
  EXPECT_EQ(SplitNetworkReading("+0").value, "");
  EXPECT_EQ(SplitNetworkReading("-00.5").value, "-00.5");
  // The page is read as a C string.
  EXPECT_EQ(SplitNetworkReading(std::string("1.5\0\n\n9", 7)).counter, "0");
}

TEST(NumberLiteralTest, PassesPlainDecimalNumbers) {
  EXPECT_EQ(NumberLiteral("0.512"), "0.512");
  EXPECT_EQ(NumberLiteral(".5"), ".5");
  EXPECT_EQ(NumberLiteral("+12.5"), "+12.5");
  EXPECT_EQ(NumberLiteral("-1.5"), "-1.5");
  EXPECT_EQ(NumberLiteral("12"), "12");
  EXPECT_EQ(NumberLiteral("12."), "12.");
  EXPECT_EQ(NumberLiteral(" 3.25\t"), "3.25");
}

TEST(NumberLiteralTest, DropsLeadingZerosThatScriptWouldMisread) {
  EXPECT_EQ(NumberLiteral("-00.512"), "-0.512");
  EXPECT_EQ(NumberLiteral("010"), "10");
  EXPECT_EQ(NumberLiteral("000"), "0");
  EXPECT_EQ(NumberLiteral("0"), "0");
}

TEST(NumberLiteralTest, RefusesEverythingElse) {
  for (const char* text : {"", " ", ".", "+", "-", "+-1", "1.2.3", "1e5", "0x10", "Infinity", "NaN",
                           "1,5", "1 5", "1;alert(1)", "1})//", "alert(1)", "\xd0\x9f"}) {
    EXPECT_EQ(NumberLiteral(text), "") << text;
  }
}

class FakeHttpClient final : public HttpClient {
 public:
  HttpResponse Get(const std::string& url, const HttpTimeouts& timeouts,
                   std::size_t maxBody) override {
    urls.push_back(url);
    lastTimeouts = timeouts;
    lastMaxBody = maxBody;
    return response;
  }
  HttpResponse Post(const std::string&, const std::vector<std::string>&, std::string_view,
                    const HttpTimeouts&, std::size_t) override {
    ADD_FAILURE() << "the scale is only read";
    return {};
  }

  HttpResponse response;
  std::vector<std::string> urls;
  HttpTimeouts lastTimeouts;
  std::size_t lastMaxBody = 0;
};

class GetIpWeightTest : public ::testing::Test {
 protected:
  GetIpWeightTest() {
    auto http = std::make_unique<FakeHttpClient>();
    http_ = http.get();
    endpoint_ = std::make_unique<WeightEndpoint>(
        []() -> std::unique_ptr<Weighter> { throw ComPortException("no scale"); }, std::move(http));
  }
  std::string Read(std::string body, long status = 200) {
    http_->response = HttpResponse{true, status, std::move(body), {}};
    return endpoint_->GetIpWeight("scale.local:8080/w");
  }

  FakeHttpClient* http_;
  std::unique_ptr<WeightEndpoint> endpoint_;
};

TEST_F(GetIpWeightTest, FetchesOnePageOverHttpWithShortTimeoutsAndACap) {
  Read("1\n");
  EXPECT_THAT(http_->urls, ::testing::ElementsAre("http://scale.local:8080/w"));
  EXPECT_EQ(http_->lastMaxBody, 1023u);
  EXPECT_LE(http_->lastTimeouts.connect.count(), 3000);
  EXPECT_LE(http_->lastTimeouts.total.count(), 5000);
  // A scale that keeps its page open is read as far as it came.
  ASSERT_TRUE(http_->lastTimeouts.quietAfterBody.has_value());
  EXPECT_LE(http_->lastTimeouts.quietAfterBody->count(), 200);
  endpoint_->GetIpWeight("http://x/");
  EXPECT_EQ(http_->urls.back(), "http://http://x/");
}

TEST_F(GetIpWeightTest, RepliesWithValueAndCounter) {
  EXPECT_EQ(Read("+00.512\r\nkg\r\n17\r\n"),
            "DralminWeighter__callback({value: 0.512, counter: '17'})");
  EXPECT_EQ(Read("0.750"), "DralminWeighter__callback({value: 0.750, counter: '0'})");
  EXPECT_EQ(Read("-1.5\nkg\n3"), "DralminWeighter__callback({value: -1.5, counter: '3'})");
  // The status is not examined.
  EXPECT_EQ(Read("2.5\n\nx", 500), "DralminWeighter__callback({value: 2.5, counter: 'x'})");
}

TEST_F(GetIpWeightTest, UnreachableEmptyOrNonNumericPagesGiveValueZero) {
  http_->response = HttpResponse{false, 0, {}, "Connection refused"};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(endpoint_->GetIpWeight("127.0.0.1:1/"), kFailed);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("networked scale http://127.0.0.1:1/: Connection refused\n"));
  EXPECT_EQ(Read(""), kFailed);
  EXPECT_EQ(Read("+0\r\nkg\r\n1\r\n"), kFailed);
  EXPECT_EQ(Read("<html>Not Found</html>"), kFailed);
  EXPECT_EQ(Read("0});alert(document.cookie);//\n\n1"), kFailed);
}

TEST_F(GetIpWeightTest, CounterIsAnEscapedString) {
  EXPECT_EQ(Read("1\n\n1'});alert(1);//"),
            "DralminWeighter__callback({value: 1, counter: '1\\'});alert(1);//'})");
  EXPECT_EQ(Read("1\n\na\\b</script>"),
            "DralminWeighter__callback({value: 1, counter: 'a\\\\b<\\/script>'})");
}

class GetWeightTest : public ::testing::Test {
 protected:
  GetWeightTest()
      : endpoint_(
            [this]() -> std::unique_ptr<Weighter> {
              ++searches_;
              return std::make_unique<Weighter>(std::make_unique<FakeSerialPort>(lines_),
                                                std::vector<std::string>{"/scale"});
            },
            std::make_unique<FakeHttpClient>()) {}

  FakeLines lines_;
  int searches_ = 0;
  WeightEndpoint endpoint_;
};

TEST_F(GetWeightTest, WeighsOnTheReaderItKeeps) {
  lines_.devices["/scale"].dc1Answer = "ST,  1.250kg\r\n";
  EXPECT_EQ(endpoint_.GetWeight(), "DralminWeighter__callback({value: 1.250000})");
  lines_.devices["/scale"].dc1Answer = "ST, -0.500kg\r\n";
  EXPECT_EQ(endpoint_.GetWeight(), "DralminWeighter__callback({value: -0.500000})");
  lines_.devices["/scale"].dc1Answer = "ST,F      kg\r\n";
  EXPECT_EQ(endpoint_.GetWeight(), "DralminWeighter__callback({value: Infinity})");
  EXPECT_EQ(searches_, 1);
  EXPECT_TRUE(endpoint_.HasScale());
}

TEST_F(GetWeightTest, AFailureDropsTheReaderAndTheNextRequestSearchesAgain) {
  lines_.devices["/scale"].dc1Answer = "ST,  1.250kg\r\n";
  EXPECT_EQ(endpoint_.GetWeight(), "DralminWeighter__callback({value: 1.250000})");

  lines_.devices["/scale"].enqAnswer = "\x15";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(endpoint_.GetWeight(), kFailed);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("scale: weighing failed: /scale: NAK to ENQ\n"));
  EXPECT_FALSE(endpoint_.HasScale());
  EXPECT_TRUE(lines_.openPath.empty());  // the port was closed with the reader

  lines_.devices["/scale"].enqAnswer = "\x06";
  lines_.devices["/scale"].dc1Answer = "ST,  1.2";  // short
  EXPECT_EQ(endpoint_.GetWeight(), kFailed);
  EXPECT_EQ(searches_, 2);
  EXPECT_FALSE(endpoint_.HasScale());

  lines_.devices["/scale"].dc1Answer = "ST,  2.000lb\r\n";
  EXPECT_EQ(endpoint_.GetWeight(), "DralminWeighter__callback({value: 0.907185})");
  EXPECT_EQ(searches_, 3);
}

TEST_F(GetWeightTest, NoScaleAnswersValueZeroAndSearchesEveryTime) {
  EXPECT_EQ(endpoint_.GetWeight(), kFailed);
  EXPECT_EQ(endpoint_.GetWeight(), kFailed);
  EXPECT_EQ(searches_, 2);
  EXPECT_FALSE(endpoint_.HasScale());
}

TEST(GetWeightFailureTest, AnyExceptionGivesValueZero) {
  WeightEndpoint endpoint([]() -> std::unique_ptr<Weighter> { throw std::bad_alloc(); },
                          std::make_unique<FakeHttpClient>());
  EXPECT_EQ(endpoint.GetWeight(), kFailed);
}

// The real HTTP client against a small scale page server.
class NetworkScaleTest : public ::testing::Test {
 protected:
  NetworkScaleTest()
      : endpoint_([]() -> std::unique_ptr<Weighter> { throw ComPortException("no scale"); },
                  std::make_unique<CurlHttpClient>()) {}
  WeightEndpoint endpoint_;
};

TEST_F(NetworkScaleTest, ReadsHostPortAndPathFromTheAddress) {
  NetScaleServer server([](const std::string& path) {
    return NetScaleServer::Page{path == "/scale?id=2" ? 200 : 404, "+00.512\r\nkg\r\n17\r\n"};
  });
  const std::string address = "127.0.0.1:" + std::to_string(server.port()) + "/scale?id=2";
  EXPECT_EQ(endpoint_.GetIpWeight(address),
            "DralminWeighter__callback({value: 0.512, counter: '17'})");
  EXPECT_THAT(server.Paths(), ::testing::ElementsAre("/scale?id=2"));
}

TEST_F(NetworkScaleTest, UsesOnlyTheFirst1023Bytes) {
  const std::string counter(2000, '7');
  NetScaleServer server([&](const std::string&) {
    return NetScaleServer::Page{200, "1.5\nkg\n" + counter};
  });
  const std::string reply = endpoint_.GetIpWeight("127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(reply, "DralminWeighter__callback({value: 1.5, counter: '" +
                       std::string(1023 - 7, '7') + "'})");
}

TEST_F(NetworkScaleTest, AnUnreachableScaleGivesValueZero) {
  EXPECT_EQ(endpoint_.GetIpWeight("127.0.0.1:" + std::to_string(FreePort()) + "/"), kFailed);
  EXPECT_EQ(endpoint_.GetIpWeight("no such host/"), kFailed);
}

}  // namespace
}  // namespace dralmin::test
