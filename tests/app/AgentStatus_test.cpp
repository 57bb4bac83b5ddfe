#include "app/AgentStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

namespace dralmin {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr std::time_t kNow = 1'800'000'000;
constexpr std::time_t kDay = 24 * 60 * 60;

class AgentStatusTest : public ::testing::Test {
 protected:
  AgentStatusSources Sources() {
    return AgentStatusSources{settings_,
                              started_,
                              &https_,
                              [this](const std::string& path) { return existing_.count(path) > 0; },
                              [] {
                                return std::vector<StatusRow>{{"scale", "found on /dev/x", ""}};
                              },
                              [] {
                                return std::vector<std::string>{"first", "last"};
                              },
                              [] { return kNow; },
                              ""};
  }

  const StatusSection& Section(const StatusReport& report, std::string_view id) {
    for (const StatusSection& section : report.sections) {
      if (section.id == id) return section;
    }
    ADD_FAILURE() << "no section " << id;
    return report.sections.front();
  }

  AgentSettings settings_;
  std::chrono::steady_clock::time_point started_{};
  HttpsStatus https_;
  std::set<std::string> existing_;
};

TEST_F(AgentStatusTest, EachFactComesFromItsSource) {
  ASSERT_EQ(ApplySetting(settings_, "http_port", "9081",
                         {SettingOrigin::Kind::UserFile, "/home/u/.config/Dralmin/agent.conf", 4}),
            std::nullopt);
  ASSERT_EQ(ApplySetting(settings_, "allowed_origins", "https://till.example",
                         {SettingOrigin::Kind::Environment, "DRALMIN_ALLOWED_ORIGINS", 0}),
            std::nullopt);
  https_.Set({true, "serving HTTPS", "v7", "/CN=127.0.0.1", kNow + 90 * kDay});

  const StatusReport report =
      CollectAgentStatus(Sources(), started_ + std::chrono::seconds(3 * 3600 + 5));
  EXPECT_EQ(report.uptime, std::chrono::seconds(3 * 3600 + 5));

  const std::vector<StatusRow>& settings = Section(report, "settings").rows;
  const auto row = [&settings](std::string_view key) {
    for (const StatusRow& row : settings) {
      if (row.name == key) return row;
    }
    return StatusRow{};
  };
  EXPECT_EQ(row("http_port").value, "9081");
  EXPECT_EQ(row("http_port").detail, "/home/u/.config/Dralmin/agent.conf:4");
  EXPECT_EQ(row("allowed_origins").detail, "environment DRALMIN_ALLOWED_ORIGINS");
  EXPECT_EQ(row("scan_mode").value, "color");
  EXPECT_EQ(row("scan_mode").detail, "default");
  EXPECT_EQ(settings.size(), SettingKeys().size());

  const std::vector<StatusRow>& listeners = Section(report, "listeners").rows;
  ASSERT_EQ(listeners.size(), 2u);
  EXPECT_EQ(listeners[0].value, "127.0.0.1:9081");
  EXPECT_EQ(listeners[1].detail,
            "serving HTTPS; certificate v7, /CN=127.0.0.1, expires 2027-04-15 08:00 UTC; held by "
            "this agent");

  EXPECT_EQ(Section(report, "origins").rows[0].name, "https://till.example");
  EXPECT_EQ(Section(report, "devices").rows[0].value, "found on /dev/x");
  EXPECT_THAT(report.logLines, ElementsAre("first", "last"));
  EXPECT_THAT(report.warnings, IsEmpty());
}

TEST_F(AgentStatusTest, WarnsOfWhatWillFailBeforeItDoes) {
  ASSERT_EQ(ApplySetting(settings_, "serial_ports", "/dev/ttyGONE0, /dev/ttyGONE1"), std::nullopt);
  ASSERT_EQ(ApplySetting(settings_, "fingerprint_sdk", "/opt/sdk/libgone.so"), std::nullopt);
  https_.Set({true, "serving HTTPS", "v7", "", kNow + 13 * kDay});
  const std::vector<std::string> warnings = AgentWarnings(Sources());
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_THAT(warnings[0], HasSubstr("serial_ports names no existing device"));
  EXPECT_THAT(warnings[1], HasSubstr("/opt/sdk/libgone.so does not exist"));
  EXPECT_THAT(warnings[2], HasSubstr("certificate v7 expires"));

  // One existing port is enough, a bare library name is the loader's to find, and a certificate
  // valid for longer than two weeks is no concern.
  existing_.insert("/dev/ttyGONE1");
  ASSERT_EQ(ApplySetting(settings_, "fingerprint_sdk", "libquorvelsdk.so"), std::nullopt);
  https_.Set({true, "serving HTTPS", "v7", "", kNow + 15 * kDay});
  EXPECT_THAT(AgentWarnings(Sources()), IsEmpty());
}

TEST_F(AgentStatusTest, AScanBackendWhoseLastListingFoundNoScannerWarnsAndLogsOnceATurn) {
  ScannerListing scanners;
  AgentStatusSources sources = Sources();
  sources.scanners = &scanners;
  EXPECT_THAT(AgentWarnings(sources), IsEmpty());  // not listed yet: no backend is asked for it
  scanners.SetBackend("SANE");
  ::testing::internal::CaptureStderr();
  scanners.Record({});
  scanners.Record({});
  EXPECT_THAT(AgentWarnings(sources),
              ElementsAre("the scan backend SANE lists no scanner: every scan fails until one is "
                          "connected"));
  scanners.Record({"test:0"});
  EXPECT_THAT(AgentWarnings(sources), IsEmpty());
  scanners.Record({});
  const std::string log = ::testing::internal::GetCapturedStderr();
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = log.find("lists no scanner", at)) != std::string::npos; ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u) << log;
}

TEST_F(AgentStatusTest, TheDocumentScannerRowsNameTheBackendInUseAndWhatItListed) {
  ASSERT_EQ(ApplySetting(settings_, "scan_backend", "sane"), std::nullopt);
  std::array<StatusRow, 2> rows = DocumentScannerRows(settings_, {});
  EXPECT_EQ(rows[0].value, "SANE, as the settings ask (the session starts at the first scan)");
  EXPECT_THAT(rows[1].value, StartsWith("not listed yet"));
  EXPECT_EQ(rows[1].detail, "");

  // The backend in use wins over the settings (on Windows it is always TWAIN).
  const auto listed = std::chrono::system_clock::from_time_t(kNow);
  rows = DocumentScannerRows(settings_, {"TWAIN", std::vector<std::string>{"A4", "A3"}, listed});
  EXPECT_EQ(rows[0].value, "TWAIN");
  EXPECT_EQ(rows[1].value, "A4, A3");
  EXPECT_THAT(rows[1].detail, StartsWith("listed 2027-01-1"));  // in local time
  rows = DocumentScannerRows(settings_, {"TWAIN", std::vector<std::string>{}, listed});
  EXPECT_EQ(rows[1].value, "none");
}

}  // namespace
}  // namespace dralmin
