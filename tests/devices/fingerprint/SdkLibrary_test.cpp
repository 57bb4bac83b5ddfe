#include "devices/fingerprint/SdkLibrary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "devices/fingerprint/FingerprintScanner.h"
#include "devices/fingerprint/VeltranaException.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

// A system library that has none of the SDK's functions (on Windows: none of its ordinals).
#ifdef _WIN32
constexpr const char* kOtherLibrary = "msimg32.dll";
#else
constexpr const char* kOtherLibrary = "libm.so.6";
#endif

// Counters the simulated SDK publishes, by name.
std::map<std::string, long> ReadCounts(const std::string& path) {
  std::map<std::string, long> counts;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos)
      counts[line.substr(0, equals)] = std::stol(line.substr(equals + 1));
  }
  return counts;
}

class SdkLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEnvironment("DRALMIN_FINGERPRINT_SIM_FILE", config_);
    SetEnvironment("DRALMIN_FINGERPRINT_SIM_COUNTS", counts_);
  }
  void TearDown() override {
    SetEnvironment("DRALMIN_FINGERPRINT_SIM_FILE", "");
    SetEnvironment("DRALMIN_FINGERPRINT_SIM_COUNTS", "");
  }
  void Configure(const std::string& lines) { std::ofstream(config_) << lines; }

  TempFolder folder_;
  const std::string config_ = folder_.path() + "/sim.conf";
  const std::string counts_ = folder_.path() + "/counts";
};

TEST_F(SdkLibraryTest, BindsTheSimulatedSdkAndCapturesThroughIt) {
  Configure("quality=85\ntemplate=00ff10\n");
  // The simulator's counters live as long as the library stays loaded: compare with a baseline.
  auto before = ReadCounts(counts_);
  SdkLibrary library(DRALMIN_FINGERPRINT_SIM_PATH);
  int32_t context = 0;
  ASSERT_EQ(library.SdkInit(&context, 0), 1);
  EXPECT_NE(context, 0);

  FingerprintScanner scanner(LibrarySdkLoader(DRALMIN_FINGERPRINT_SIM_PATH));
  const EnrollResult result = scanner.CaptureAndEnroll();
  EXPECT_EQ(result.quality, 85);
  EXPECT_EQ(TemplateText(result.templateBytes), "00ff10");

  // Every step's failure, then a normal capture: nothing leaks and the SDK saw no misuse.
  for (const char* step : {"connected", "open", "capture", "enroll"}) {
    Configure(std::string(step) + "=-3\n");
    EXPECT_THROW(scanner.CaptureAndEnroll(), VeltranaException) << step;
  }
  Configure("enroll=-13\nquality=99\n");
  EXPECT_EQ(scanner.CaptureAndEnroll().quality, 0);
  Configure("scanners=0\n");
  EXPECT_THROW(scanner.CaptureAndEnroll(), VeltranaException);

  auto after = ReadCounts(counts_);
  auto delta = [&](const char* key) { return after[key] - before[key]; };
  EXPECT_EQ(delta("misuse"), 0);
  EXPECT_EQ(delta("opens"), 4);  // the first capture, the capture and enroll failures, the -13
  EXPECT_EQ(delta("closes"), 4);
  EXPECT_EQ(delta("samples"), 3);
  EXPECT_EQ(delta("samplesFreed"), 3);
  EXPECT_EQ(delta("lists"), 5);  // all but the failed listing and the empty one
  EXPECT_EQ(delta("listsFreed"), 5);
}

TEST_F(SdkLibraryTest, ValueListsAreTakenInTurn) {
  Configure("quality=10,90\n");
  FingerprintScanner scanner(LibrarySdkLoader(DRALMIN_FINGERPRINT_SIM_PATH));
  // Where the turn starts depends on earlier calls in this process; the order does not.
  const int first = scanner.CaptureAndEnroll().quality;
  const int second = scanner.CaptureAndEnroll().quality;
  EXPECT_EQ(first + second, 100);
  EXPECT_NE(first, second);
  EXPECT_EQ(scanner.CaptureAndEnroll().quality, first);
}

#ifdef _WIN32
// The simulated DLL, like the maker's, has no exported names: the capture above went by ordinal.
TEST_F(SdkLibraryTest, SimulatedDllIsReachableByOrdinalOnly) {
  DynamicLibrary library(DRALMIN_FINGERPRINT_SIM_PATH);
  EXPECT_EQ(library.Symbol("SdkInit"), nullptr);
  EXPECT_NE(library.SymbolAt(quorvel::kSdkInitOrdinal), nullptr);
}
#endif

TEST_F(SdkLibraryTest, MissingOrIncompleteLibraryIsReportedAndNotLoaded) {
  EXPECT_THROW(SdkLibrary("/nonexistent/libquorvelsdk.so"), DynamicLibraryError);
  try {
    SdkLibrary library(kOtherLibrary);
    ADD_FAILURE() << "a library without the SDK's functions was accepted";
  } catch (const DynamicLibraryError& error) {
    EXPECT_NE(std::string(error.what()).find("SdkInit"), std::string::npos) << error.what();
  }
  std::string failure;
  EXPECT_EQ(LibrarySdkLoader("/nonexistent/libquorvelsdk.so",
                             [&failure](const std::string& why) { failure = why; })(),
            nullptr);
  EXPECT_NE(failure.find("libquorvelsdk"), std::string::npos) << failure;
}

}  // namespace
}  // namespace dralmin::test
