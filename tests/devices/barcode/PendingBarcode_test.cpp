#include "devices/barcode/PendingBarcode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace dralmin {
namespace {

TEST(PendingBarcodeTest, DeliversEachCodeOnceAndOnlyTheLatest) {
  PendingBarcode holder;
  EXPECT_EQ(holder.GetBarcode(), "");

  holder.PutBarcode("4601");
  EXPECT_EQ(holder.GetBarcode(), "DralminBarcode__callback({code:'4601'})");
  EXPECT_EQ(holder.GetBarcode(), "");

  holder.PutBarcode("111");
  holder.PutBarcode("222");
  EXPECT_EQ(holder.GetBarcode(), "DralminBarcode__callback({code:'222'})");
  EXPECT_EQ(holder.GetBarcode(), "");
}

TEST(PendingBarcodeTest, CodeCannotBreakOutOfTheScriptString) {
  PendingBarcode holder;
  holder.PutBarcode("a'b\\c\r\n</script>");
  EXPECT_EQ(holder.GetBarcode(), "DralminBarcode__callback({code:'a\\'b\\\\c\\r\\n<\\/script>'})");
}

TEST(PendingBarcodeTest, BytesPassUnchanged) {
  PendingBarcode holder;
  const std::string code("\xC9\x00\xFF", 3);
  holder.PutBarcode(code);
  EXPECT_EQ(holder.GetBarcode(), "DralminBarcode__callback({code:'" + code + "'})");
}

// Scans arrive on one thread while the gateway fetches on another: every code is delivered at
// most once and none is torn.
TEST(PendingBarcodeTest, PutAndFetchFromTwoThreads) {
  PendingBarcode holder;
  constexpr int kCodes = 20000;
  std::atomic<bool> done{false};
  std::thread scanner([&] {
    for (int i = 0; i < kCodes; ++i) holder.PutBarcode("code-" + std::to_string(i));
    done = true;
  });
  int delivered = 0;
  int last = -1;
  auto fetch = [&] {
    if (std::optional<std::string> code = holder.Take()) {
      ASSERT_EQ(code->rfind("code-", 0), 0u);
      const int number = std::stoi(code->substr(5));
      EXPECT_GT(number, last);  // never an older code after a newer one
      last = number;
      ++delivered;
    }
  };
  while (!done) fetch();
  scanner.join();
  fetch();
  EXPECT_EQ(last, kCodes - 1);
  EXPECT_GE(delivered, 1);
}

}  // namespace
}  // namespace dralmin
