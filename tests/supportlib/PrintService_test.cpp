#include "support/PrintService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using ::testing::HasSubstr;

const std::string kLabel = "<label width='58' height='40'><text x='1' y='2'>Ж</text></label>";

// Remembers the address each job was sent to, and the job.
struct SentJobs {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> jobs;
  std::string failWith;  // non-empty: the port refuses every job with this reason
};

class RecordingPort final : public PrinterPort {
 public:
  RecordingPort(SentJobs& sent, std::string address) : sent_(sent), address_(std::move(address)) {}
  void Send(std::string_view job) override {
    const std::lock_guard lock(sent_.mutex);
    if (!sent_.failWith.empty()) throw PrinterException(sent_.failWith);
    sent_.jobs.emplace_back(address_, std::string(job));
  }

 private:
  SentJobs& sent_;
  std::string address_;
};

class PrintServiceTest : public ::testing::Test {
 protected:
  test::TempFolder folder_;
  SentJobs sent_;
  PrintService service_{[this] { return folder_.path() + "/Dralmin/printer.conf"; },
                        [this](const std::string& address) {
                          return std::make_unique<RecordingPort>(sent_, address);
                        }};
};

TEST_F(PrintServiceTest, PrintsWithTheSettingsSavedBefore) {
  EXPECT_EQ(service_.GetSettings(), StoredSettings{});
  EXPECT_EQ(service_.Print(kLabel), kPrintedAnswer);
  ASSERT_TRUE(service_.SaveSettings({"  10.1.1.1:9100 ", 866, true}));
  EXPECT_EQ(service_.GetSettings(), (StoredSettings{"  10.1.1.1:9100 ", 866, true}));
  EXPECT_EQ(service_.Print(kLabel), kPrintedAnswer);

  ASSERT_EQ(sent_.jobs.size(), 2u);
  EXPECT_EQ(sent_.jobs[0].first, "");
  EXPECT_THAT(sent_.jobs[0].second, HasSubstr("CODEPAGE 1251\r\nCLS\r\n"));
  EXPECT_THAT(sent_.jobs[0].second, HasSubstr(",\"\xC6\"\r\n"));
  EXPECT_EQ(sent_.jobs[1].first, "10.1.1.1:9100");  // spaces around the address are dropped
  EXPECT_THAT(sent_.jobs[1].second, HasSubstr("CODEPAGE 866\r\nSET PEEL ON\r\nCLS\r\n"));
  EXPECT_THAT(sent_.jobs[1].second, HasSubstr(",\"\x86\"\r\n"));
}

TEST_F(PrintServiceTest, FailuresBecomeErrorAnswersAndNothingIsSent) {
  EXPECT_EQ(service_.Print("<label/>"),
            "DralminPrinter__callback({error:'missing attribute width of <label>'})");
  EXPECT_TRUE(sent_.jobs.empty());
  sent_.failWith = "printer it's:9100 unreachable: Connection refused";
  EXPECT_EQ(service_.Print(kLabel),
            "DralminPrinter__callback({error:'printer it\\'s:9100 unreachable: Connection "
            "refused'})");
}

TEST_F(PrintServiceTest, ASaveNeverTearsAPrint) {
  const StoredSettings a{"a", 866, true};
  const StoredSettings b{"b", 1251, false};
  ASSERT_TRUE(service_.SaveSettings(a));
  std::atomic<bool> done{false};
  std::thread saver([&] {
    for (int i = 0; !done; ++i) service_.SaveSettings(i % 2 ? a : b);
  });
  std::thread reader([&] {
    while (!done) {
      const StoredSettings seen = service_.GetSettings();
      EXPECT_TRUE(seen == a || seen == b);
    }
  });
  for (int i = 0; i < 200; ++i) EXPECT_EQ(service_.Print(kLabel), kPrintedAnswer);
  done = true;
  saver.join();
  reader.join();

  for (const auto& [address, job] : sent_.jobs) {
    const bool likeA = job.find("CODEPAGE 866\r\nSET PEEL ON\r\n") != std::string::npos;
    const bool likeB = job.find("CODEPAGE 1251\r\nCLS\r\n") != std::string::npos;
    EXPECT_TRUE(address == "a" ? likeA : address == "b" && likeB) << address << "\n" << job;
  }
}

TEST(PrintServiceBlocking, SettingsAreReadAndSavedWhileAPrintWaitsForThePrinter) {
  test::TempFolder folder;
  std::promise<void> sending;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // A printer that takes the job only when the test lets it.
  class SlowPort final : public PrinterPort {
   public:
    SlowPort(std::promise<void>& sending, std::shared_future<void> released)
        : sending_(sending), released_(std::move(released)) {}
    void Send(std::string_view) override {
      sending_.set_value();
      released_.wait();
    }

   private:
    std::promise<void>& sending_;
    std::shared_future<void> released_;
  };
  PrintService service(
      [&] { return folder.path() + "/printer.conf"; },
      [&](const std::string&) { return std::make_unique<SlowPort>(sending, released); });

  std::future<std::string> print =
      std::async(std::launch::async, [&] { return service.Print(kLabel); });
  sending.get_future().wait();
  std::future<bool> settings = std::async(std::launch::async, [&] {
    return service.SaveSettings({"10.0.0.9:9100", 866, false}) &&
           service.GetSettings().printerAddress == "10.0.0.9:9100";
  });
  const bool answered = settings.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(answered) << "the settings waited for the print";
  EXPECT_TRUE(settings.get());
  EXPECT_EQ(print.get(), kPrintedAnswer);
}

}  // namespace
}  // namespace dralmin
