// The fingerprint endpoint in the running agent, with the simulated SDK behind it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

// "Уберите палец со сканера" and "Поместите палец на сканер" in Windows-1251.
const std::string kLiftFinger =
    "VeltranaSdk__callback({error:'\xd3\xe1\xe5\xf0\xe8\xf2\xe5 \xef\xe0\xeb\xe5\xf6 \xf1\xee "
    "\xf1\xea\xe0\xed\xe5\xf0\xe0'});";
const std::string kPlaceFinger =
    "VeltranaSdk__callback({error:'\xcf\xee\xec\xe5\xf1\xf2\xe8\xf2\xe5 \xef\xe0\xeb\xe5\xf6 "
    "\xed\xe0 \xf1\xea\xe0\xed\xe5\xf0'});";

class FingerprintAgentTest : public ::testing::Test {
 protected:
  void Configure(const std::string& lines) { std::ofstream(config_) << lines; }
  std::vector<std::string> Environment(const std::string& library) const {
    return {"DRALMIN_FINGERPRINT_SDK=" + library, "DRALMIN_FINGERPRINT_SIM_FILE=" + config_,
            "DRALMIN_FINGERPRINT_SIM_COUNTS=" + counts_};
  }
  std::string Counts() const {
    std::ifstream file(counts_);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  TempFolder folder_;
  const std::string config_ = folder_.path() + "/sim.conf";
  const std::string counts_ = folder_.path() + "/counts";
};

TEST_F(FingerprintAgentTest, GoodFingerGivesOneTemplateThenAsksToLiftIt) {
  Configure("quality=90\ntemplate=0aff3c\n");
  AgentProcess agent(Environment(DRALMIN_FINGERPRINT_SIM_PATH));
  EXPECT_EQ(agent.Get("/finger/page1"), "VeltranaSdk__callback({template:'0aff3c'});");
  const std::string reply = agent.Exchange("GET /finger/page1 HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
            "Content-Length: " +
                std::to_string(kLiftFinger.size()) + "\r\n\r\n" + kLiftFinger);
}

TEST_F(FingerprintAgentTest, TouchLiftAndOwnershipWithNothingLeaked) {
  Configure("quality=20\n");
  AgentProcess agent(Environment(DRALMIN_FINGERPRINT_SIM_PATH));
  EXPECT_EQ(agent.Get("/finger/a"), kPlaceFinger);
  Configure("quality=80\ntemplate=01\n");
  EXPECT_EQ(agent.Get("/finger/a"), "VeltranaSdk__callback({template:'01'});");
  EXPECT_EQ(agent.Get("/finger/a"), kLiftFinger);
  EXPECT_EQ(agent.Get("/finger/b").substr(0, 31), "VeltranaSdk__callback({error:'\xd1");
  Configure("enroll=-13\n");
  EXPECT_EQ(agent.Get("/"), kPlaceFinger);  // no id: served without the ownership gate
  Configure("open=-6\n");
  EXPECT_EQ(agent.Get("/finger/a"), "VeltranaSdk__callback({error:'ScanOpen. Code: -6'});");
  Configure("scanners=0\n");
  EXPECT_EQ(agent.Get("/finger/a"), "VeltranaSdk__callback({error:'Scanner not found. Code: 1'});");
  EXPECT_EQ(Counts(),
            "inits=1\nlists=5\nlistsFreed=5\nopens=4\ncloses=4\nsamples=4\nsamplesFreed=4\n"
            "misuse=0\n");
}

TEST_F(FingerprintAgentTest, StartsWithoutTheLibraryAndLoadsItOnceItIsThere) {
  Configure("quality=90\ntemplate=ab\n");
  const std::string library = folder_.path() + "/libquorvelsdk.so";
  AgentProcess agent(Environment(library));
  const std::string initError = "VeltranaSdk__callback({error:'Init SDK. Code: 0'});";
  EXPECT_EQ(agent.Get("/finger/p"), initError);
  EXPECT_EQ(agent.Get("/finger/p"), initError);
  ASSERT_EQ(symlink(DRALMIN_FINGERPRINT_SIM_PATH, library.c_str()), 0);
  EXPECT_EQ(agent.Get("/finger/p"), "VeltranaSdk__callback({template:'ab'});");
}

}  // namespace
}  // namespace dralmin::test
