#include "devices/fingerprint/FingerprintScanner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devices/fingerprint/VeltranaException.h"
#include "tests/devices/fingerprint/FakeSdk.h"

namespace dralmin::test {
namespace {

using ::testing::ElementsAre;

class FingerprintScannerTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeSdkScript> sdk = std::make_shared<FakeSdkScript>();
  std::shared_ptr<bool> available = std::make_shared<bool>(true);
  FingerprintScanner scanner{FakeLoader(sdk, available)};

  // The description of the failure the next capture raises, or "" when it succeeds.
  std::string Failure() {
    try {
      scanner.CaptureAndEnroll();
      return "";
    } catch (const VeltranaException& error) {
      return error.what();
    }
  }
};

TEST(VeltranaExceptionTest, DescriptionIsStepAndCode) {
  const VeltranaException error(-7, "ScanOpen");
  EXPECT_STREQ(error.what(), "ScanOpen. Code: -7");
  EXPECT_EQ(error.code(), -7);
  EXPECT_EQ(error.step(), "ScanOpen");
}

TEST(TemplateTextTest, LowercaseHexWithLeadingZeros) {
  EXPECT_EQ(TemplateText({0x0a, 0xff, 0x00, 0x7b, 0xc3}), "0aff007bc3");
  EXPECT_EQ(TemplateText({}), "");
}

TEST_F(FingerprintScannerTest, OneAttemptCallsTheSdkInOrderAndReleasesEverything) {
  const EnrollResult result = scanner.CaptureAndEnroll();
  EXPECT_EQ(result.quality, 90);
  EXPECT_THAT(result.templateBytes, ElementsAre(0x0a, 0xff));
  EXPECT_THAT(sdk->calls, ElementsAre("SdkInit", "ScanGetConnected", "ScanOpen", "MemFree",
                                      "ScanCapture", "MathEnroll", "ScanFreeSample", "ScanClose"));
  EXPECT_EQ(sdk->openedId, 42);  // the first byte of the list
  EXPECT_EQ(sdk->capacitySeen, 10240);
  EXPECT_TRUE(sdk->Balanced());
}

TEST_F(FingerprintScannerTest, SdkIsLoadedAndInitialisedOnceAcrossAttempts) {
  scanner.CaptureAndEnroll();
  sdk->calls.clear();
  scanner.CaptureAndEnroll();
  EXPECT_EQ(sdk->loads, 1);
  EXPECT_EQ(sdk->calls.front(), "ScanGetConnected");
}

TEST_F(FingerprintScannerTest, MissingLibraryIsInitFailureWithCodeZeroAndIsRetried) {
  *available = false;
  EXPECT_EQ(Failure(), "Init SDK. Code: 0");
  EXPECT_EQ(Failure(), "Init SDK. Code: 0");
  EXPECT_EQ(sdk->loads, 2);
  *available = true;
  EXPECT_EQ(Failure(), "");
  EXPECT_EQ(sdk->loads, 3);
}

TEST_F(FingerprintScannerTest, FailedInitialisationIsTriedAgainWithoutReloading) {
  sdk->results["SdkInit"] = -4;
  EXPECT_EQ(Failure(), "Init SDK. Code: -4");
  EXPECT_THAT(sdk->calls, ElementsAre("SdkInit"));
  sdk->results.erase("SdkInit");
  EXPECT_EQ(Failure(), "");
  EXPECT_EQ(sdk->loads, 1);
  EXPECT_TRUE(sdk->Balanced());
}

TEST_F(FingerprintScannerTest, EachFailingStepNamesItselfAndReleasesWhatWasTaken) {
  struct Case {
    const char* function;
    int32_t result;
    const char* description;
  };
  for (const Case& c :
       {Case{"ScanGetConnected", -2, "ScanGetConnected. Code: -2"},
        Case{"ScanOpen", 0, "ScanOpen. Code: 0"}, Case{"ScanCapture", -8, "ScanCapture. Code: -8"},
        Case{"MathEnroll", -12, "MathEnroll. Code: -12"},
        Case{"MathEnroll", 2, "MathEnroll. Code: 2"}}) {
    SCOPED_TRACE(c.function);
    sdk->results = {{c.function, c.result}};
    EXPECT_EQ(Failure(), c.description);
    EXPECT_TRUE(sdk->Balanced());
  }
}

TEST_F(FingerprintScannerTest, NoScannerIsCodeOneAndAnyListIsGivenBack) {
  sdk->scanners = 0;
  EXPECT_EQ(Failure(), "Scanner not found. Code: 1");
  sdk->listAnyway = true;
  EXPECT_EQ(Failure(), "Scanner not found. Code: 1");
  EXPECT_EQ(sdk->lists, 1);
  sdk->scanners = -3;
  EXPECT_EQ(Failure(), "Scanner not found. Code: 1");
  EXPECT_EQ(sdk->opens, 0);
  EXPECT_TRUE(sdk->Balanced());
}

TEST_F(FingerprintScannerTest, NoUsableFingerIsQualityZeroNotAFailure) {
  sdk->results["MathEnroll"] = -13;
  sdk->quality = 95;  // whatever the SDK left there does not count
  const EnrollResult result = scanner.CaptureAndEnroll();
  EXPECT_EQ(result.quality, 0);
  EXPECT_EQ(result.status, 0xFF);
  EXPECT_TRUE(result.templateBytes.empty());
  EXPECT_TRUE(sdk->Balanced());
}

TEST_F(FingerprintScannerTest, TemplateLengthBoundsTheBytesTaken) {
  sdk->templateBytes = {1, 2, 3, 4};
  sdk->reportedLength = 0;
  EXPECT_TRUE(scanner.CaptureAndEnroll().templateBytes.empty());
  sdk->reportedLength = 3;
  EXPECT_THAT(scanner.CaptureAndEnroll().templateBytes, ElementsAre(1, 2, 3));
  sdk->reportedLength = 10240;
  EXPECT_EQ(scanner.CaptureAndEnroll().templateBytes.size(), 10240u);
}

TEST_F(FingerprintScannerTest, LengthOutsideTheBufferIsAFailureNotAnOverread) {
  sdk->reportedLength = 10241;
  EXPECT_EQ(Failure(), "MathEnroll. Code: 10241");
  sdk->reportedLength = -1;
  EXPECT_EQ(Failure(), "MathEnroll. Code: -1");
  EXPECT_TRUE(sdk->Balanced());
}

// An unexpected error (not a result code) at any taking call still leaves nothing behind.
TEST_F(FingerprintScannerTest, ErrorAtEveryTakingCallReleasesEverything) {
  for (const char* function : {"ScanGetConnected", "ScanOpen", "ScanCapture", "MathEnroll"}) {
    SCOPED_TRACE(function);
    sdk->throwAt = function;
    EXPECT_THROW(scanner.CaptureAndEnroll(), std::runtime_error);
    sdk->throwAt.clear();
    EXPECT_TRUE(sdk->Balanced());
    EXPECT_EQ(Failure(), "");
  }
}

}  // namespace
}  // namespace dralmin::test
