#include "devices/fingerprint/FingerprintEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/devices/fingerprint/FakeSdk.h"

namespace dralmin::test {
namespace {

std::string Error(const std::string& text) {
  return "VeltranaSdk__callback({error:'" + text + "'});";
}

// The page's texts in Windows-1251, written out byte by byte rather than taken from the endpoint.
// "Сканирование открыто в другой вкладке"
const std::string kOtherTab = Error(
    "\xD1\xEA\xE0\xED\xE8\xF0\xEE\xE2\xE0\xED\xE8\xE5 \xEE\xF2\xEA\xF0\xFB\xF2\xEE \xE2 "
    "\xE4\xF0\xF3\xE3\xEE\xE9 \xE2\xEA\xEB\xE0\xE4\xEA\xE5");
// "Поместите палец на сканер"
const std::string kPlaceFinger =
    Error("\xCF\xEE\xEC\xE5\xF1\xF2\xE8\xF2\xE5 \xEF\xE0\xEB\xE5\xF6 \xED\xE0 \xF1\xEA\xE0\xED\xE5\xF0");
// "Уберите палец со сканера"
const std::string kLiftFinger =
    Error("\xD3\xE1\xE5\xF0\xE8\xF2\xE5 \xEF\xE0\xEB\xE5\xF6 \xF1\xEE \xF1\xEA\xE0\xED\xE5\xF0\xE0");
const std::string kTemplate = "VeltranaSdk__callback({template:'0aff'});";

class FingerprintEndpointTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeSdkScript> sdk = std::make_shared<FakeSdkScript>();
  std::shared_ptr<bool> available = std::make_shared<bool>(true);
  int64_t now = 1000;
  FingerprintEndpoint endpoint{FakeLoader(sdk, available), [this] { return now; }};
};

TEST_F(FingerprintEndpointTest, MessagesAreWindows1251Bytes) {
  sdk->quality = 10;
  const std::string place = endpoint.Handle("p");
  EXPECT_EQ(place, kPlaceFinger);
  EXPECT_EQ(place.substr(30, 4), "\xcf\xee\xec\xe5");  // "Поме"
  sdk->quality = 90;
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
  EXPECT_EQ(endpoint.Handle("p"), kLiftFinger);
  EXPECT_EQ(endpoint.Handle("q"), kOtherTab);
}

TEST_F(FingerprintEndpointTest, AnotherPageWaitsUntilTheOwnerIsSilentForMoreThanFiveSeconds) {
  EXPECT_EQ(endpoint.Handle("page1"), kTemplate);
  now += 3;
  EXPECT_EQ(endpoint.Handle("page1"), kLiftFinger);  // refreshes the owner's time
  now += 5;
  const size_t callsBefore = sdk->calls.size();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(endpoint.Handle("page2"), kOtherTab);  // exactly 5 s: still refused
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("fingerprint: page 'page2' refused: page 'page1' holds the "
                                   "scanner until it is silent for 5 s\n"));
  EXPECT_EQ(sdk->calls.size(), callsBefore);  // and the scanner is not touched
  now += 1;
  EXPECT_EQ(endpoint.Handle("page2"), kLiftFinger);  // the finger is still on the scanner
  EXPECT_EQ(endpoint.Handle("page1"), kOtherTab);    // page2 owns it now
}

TEST_F(FingerprintEndpointTest, RefusedRequestsDoNotRefreshTheOwner) {
  endpoint.Handle("page1");
  for (int second = 1; second <= 5; ++second) {
    now = 1000 + second;
    EXPECT_EQ(endpoint.Handle("page2"), kOtherTab) << second;
  }
  now = 1006;
  EXPECT_EQ(endpoint.Handle("page2"), kLiftFinger);
}

TEST_F(FingerprintEndpointTest, EmptyIdSkipsTheGateAndDoesNotRefreshTheOwner) {
  endpoint.Handle("page1");
  now += 4;
  EXPECT_EQ(endpoint.Handle(""), kLiftFinger);  // let through while page1 owns the scanner
  now += 2;                                     // 6 s since page1, 2 s since the empty id
  EXPECT_EQ(endpoint.Handle("page2"), kLiftFinger);
}

TEST_F(FingerprintEndpointTest, QualityEightyIsAFingerAndSeventyNineIsNot) {
  sdk->quality = 79;
  EXPECT_EQ(endpoint.Handle("p"), kPlaceFinger);
  sdk->quality = 80;
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
}

TEST_F(FingerprintEndpointTest, FingerKeptOnGivesOneTemplateUntilLifted) {
  sdk->quality = 10;
  EXPECT_EQ(endpoint.Handle("p"), kPlaceFinger);
  sdk->quality = 99;
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(endpoint.Handle("p"), kLiftFinger);
  sdk->results["MathEnroll"] = -13;  // no usable finger counts as lifted
  EXPECT_EQ(endpoint.Handle("p"), kPlaceFinger);
  sdk->results.clear();
  sdk->templateBytes = {0x00, 0x01, 0xab};
  EXPECT_EQ(endpoint.Handle("p"), "VeltranaSdk__callback({template:'0001ab'});");
  EXPECT_TRUE(sdk->Balanced());
}

TEST_F(FingerprintEndpointTest, EmptyTemplateIsStillATemplate) {
  sdk->reportedLength = 0;
  EXPECT_EQ(endpoint.Handle("p"), "VeltranaSdk__callback({template:''});");
}

TEST_F(FingerprintEndpointTest, FailuresAnswerTheirDescriptionKeepTheFingerStateAndAreSaid) {
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
  ::testing::internal::CaptureStderr();
  sdk->results["ScanCapture"] = -8;
  EXPECT_EQ(endpoint.Handle("p"), Error("ScanCapture. Code: -8"));
  sdk->results.clear();
  EXPECT_EQ(endpoint.Handle("p"), kLiftFinger);  // a failure is not a lifted finger
  sdk->scanners = 0;
  EXPECT_EQ(endpoint.Handle("p"), Error("Scanner not found. Code: 1"));
  EXPECT_TRUE(sdk->Balanced());
  // The prompt to lift the finger is no failure.
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
  EXPECT_THAT(said, ::testing::HasSubstr("fingerprint: capture failed: ScanCapture. Code: -8\n"));
  EXPECT_THAT(said, ::testing::HasSubstr("capture failed: Scanner not found. Code: 1\n"));
}

TEST_F(FingerprintEndpointTest, MissingLibraryAnswersInitErrorAndIsLoadedLater) {
  *available = false;
  EXPECT_EQ(endpoint.Handle("p"), Error("Init SDK. Code: 0"));
  EXPECT_EQ(endpoint.Handle(""), Error("Init SDK. Code: 0"));
  *available = true;
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
}

TEST_F(FingerprintEndpointTest, RequestDuringACaptureGetsAnEmptyBody) {
  std::string inner = "unset";
  sdk->duringCapture = [&] {
    sdk->duringCapture = nullptr;
    inner = endpoint.Handle("p");
  };
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
  EXPECT_EQ(inner, "");
  EXPECT_EQ(endpoint.Handle("p"), kLiftFinger);  // the busy flag was cleared
}

TEST_F(FingerprintEndpointTest, UnexpectedErrorPassesOnAndLeavesTheEndpointUsable) {
  sdk->throwAt = "MathEnroll";
  EXPECT_THROW(endpoint.Handle("p"), std::runtime_error);
  sdk->throwAt.clear();
  EXPECT_EQ(endpoint.Handle("p"), kTemplate);
  EXPECT_TRUE(sdk->Balanced());
}

}  // namespace
}  // namespace dralmin::test
