#include "devices/barcode/CScannerCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devices/barcode/PendingBarcode.h"

namespace dralmin {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAre;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::SetArgReferee;

class MockDriver : public ScannerDriver {
 public:
  MOCK_METHOD(bool, Advise, (ScannerDriverEvents&), (override));
  MOCK_METHOD(void, Unadvise, (), (override));
  MOCK_METHOD(int32_t, OpenScanners, (int32_t, const std::vector<int16_t>&, int32_t, int32_t&),
              (override));
  MOCK_METHOD(int32_t, RunCommand, (int32_t, const std::string&, std::string&, int32_t&),
              (override));
  MOCK_METHOD(void, Destroyed, ());
  ~MockDriver() override { Destroyed(); }
};

// A factory that hands out `driver` once and keeps a raw pointer for expectations.
ScannerDriverFactory Handing(std::unique_ptr<MockDriver>& driver) {
  return [&driver] { return std::unique_ptr<ScannerDriver>(std::move(driver)); };
}

TEST(CScannerCommandsTest, WithoutADriverNothingIsCalledAndSubscribingReportsIt) {
  PendingBarcode barcode;
  CScannerCommands commands([] { return nullptr; }, barcode);
  EXPECT_FALSE(commands.IsDriverAvailable());
  int32_t status = 7;
  commands.OpenScanners({1}, status);
  EXPECT_EQ(commands.SubscribeEvents(1, "1", status), CScannerCommands::kNoDriver);
  EXPECT_EQ(status, 7);

  CScannerCommands noFactory(ScannerDriverFactory{}, barcode);
  EXPECT_FALSE(noFactory.IsDriverAvailable());
}

TEST(CScannerCommandsTest, OpensEightTypeSlotsAndSubscribesWithTheFixedXml) {
  PendingBarcode barcode;
  auto owned = std::make_unique<MockDriver>();
  MockDriver& driver = *owned;
  {
    InSequence order;
    EXPECT_CALL(driver, Advise(_)).WillOnce(Return(true));
    EXPECT_CALL(driver, OpenScanners(0, ElementsAre(1, 0, 0, 0, 0, 0, 0, 0), 1, _))
        .WillOnce(DoAll(SetArgReferee<3>(0), Return(0)));
    EXPECT_CALL(driver,
                RunCommand(1001,
                           "<inArgs><cmdArgs><arg-int>1</arg-int><arg-int>1</arg-int></cmdArgs>"
                           "</inArgs>",
                           _, _))
        .WillOnce(DoAll(SetArgReferee<2>("<outArgs/>"), SetArgReferee<3>(0), Return(0)));
    EXPECT_CALL(driver, Unadvise());
    EXPECT_CALL(driver, Destroyed());
  }
  CScannerCommands commands(Handing(owned), barcode);
  ASSERT_TRUE(commands.IsDriverAvailable());
  int32_t status = -1;
  commands.OpenScanners({1}, status);
  EXPECT_EQ(commands.SubscribeEvents(1, "1", status), 0);
  EXPECT_EQ(status, 0);
}

TEST(CScannerCommandsTest, TypeListIsCutOrPaddedToEightAndTheDriverResultPassedOn) {
  PendingBarcode barcode;
  auto owned = std::make_unique<MockDriver>();
  MockDriver& driver = *owned;
  EXPECT_CALL(driver, Advise(_)).WillOnce(Return(false));  // no events, but the calls still go
  EXPECT_CALL(driver, Unadvise()).Times(0);
  EXPECT_CALL(driver, OpenScanners(0, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8), 1, _));
  EXPECT_CALL(driver, RunCommand(1001, _, _, _)).WillOnce(Return(-5));
  EXPECT_CALL(driver, Destroyed());
  CScannerCommands commands(Handing(owned), barcode);
  int32_t status = 0;
  commands.OpenScanners({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, status);
  EXPECT_EQ(commands.SubscribeEvents(1, "1", status), -5);
  EXPECT_EQ(CScannerCommands::SubscribeEventsXml(2, "1,2"),
            "<inArgs><cmdArgs><arg-int>2</arg-int><arg-int>1,2</arg-int></cmdArgs></inArgs>");
}

TEST(CScannerCommandsTest, ScanEventsBecomeThePendingCode) {
  PendingBarcode barcode;
  auto owned = std::make_unique<MockDriver>();
  ScannerDriverEvents* events = nullptr;
  EXPECT_CALL(*owned, Advise(_)).WillOnce([&](ScannerDriverEvents& sink) {
    events = &sink;
    return true;
  });
  EXPECT_CALL(*owned, Unadvise());
  EXPECT_CALL(*owned, Destroyed());
  CScannerCommands commands(Handing(owned), barcode);
  ASSERT_NE(events, nullptr);

  events->OnScanData(1, "<scandata><datalabel>0x31 0x31 0x31</datalabel></scandata>");
  events->OnScanData(1, "<scandata><datalabel>0x32 0x32 0x32</datalabel></scandata>");
  events->OnScanCmdResponse(0, "<datalabel>0x39</datalabel>");  // answers change nothing
  EXPECT_EQ(barcode.Take(), "222");
  EXPECT_EQ(barcode.Take(), std::nullopt);
}

TEST(CEventSinkTest, ScansWithoutAUsableLabelLeaveThePendingCodeAlone) {
  PendingBarcode barcode;
  CEventSink sink(barcode);
  sink.OnScanData(1, "<datalabel>0x34 0x36 0x30 0x31</datalabel>");
  for (const char* scan :
       {"", "<scandata><rawdata>0x41</rawdata></scandata>", "<datalabel></datalabel>",
        "<datalabel> 7 </datalabel>", "<datalabel>\n\t\r \n</datalabel>", "<datalabel>"}) {
    sink.OnScanData(1, scan);
  }
  EXPECT_EQ(barcode.Take(), "4601");

  sink.OnScanData(1, "<datalabel>\n0x41\n0x42\n</datalabel>");
  EXPECT_EQ(barcode.Take(), "AB");
  sink.OnScanData(1, "<datalabel>0xC9</datalabel>");
  EXPECT_EQ(barcode.Take(), "\xC9");
}

}  // namespace
}  // namespace dralmin
