#include "devices/barcode/driver/CodeFraming.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "devices/barcode/ScanData.h"
#include "devices/barcode/driver/ScanDataXml.h"

namespace dralmin {
namespace {

using ::testing::ElementsAre;

class SerialFramerTest : public ::testing::Test {
 protected:
  void Feed(std::string_view bytes) {
    framer_.Feed(bytes, [this](const std::string& code) { codes_.push_back(code); });
  }
  SerialFramer framer_{"/dev/ttyACM0"};
  std::vector<std::string> codes_;
};

TEST_F(SerialFramerTest, CodesEndAtCrLfOrCrLfEvenWhenTheLineEndIsSplitBetweenReads) {
  Feed("4601\r");
  Feed("\nAB");
  Feed("C\nDEF\r\r\n\n");
  EXPECT_THAT(codes_, ElementsAre("4601", "ABC", "DEF"));
}

TEST_F(SerialFramerTest, ALineOfOnlyNulBytesIsNoCode) {
  Feed(std::string("\0\0\r\n\0\n", 6) + "7\n");
  EXPECT_THAT(codes_, ElementsAre("7"));
}

TEST_F(SerialFramerTest, BytesOutsideAsciiPassUnchanged) {
  Feed(std::string("\xC9\x00\xFF\x7F", 4) + "\r\n");
  EXPECT_THAT(codes_, ElementsAre(std::string("\xC9\x00\xFF\x7F", 4)));
}

TEST_F(SerialFramerTest, ALongCodeIsCutAndTheNextCodeIsWhole) {
  const std::string longCode(kMaxCodeBytes + 1000, '7');
  Feed(longCode.substr(0, 3000));
  Feed(longCode.substr(3000) + "\r\n42\r\n");
  EXPECT_THAT(codes_, ElementsAre(std::string(kMaxCodeBytes, '7'), "42"));
}

TEST_F(SerialFramerTest, ACodeCutOffByTheDeviceGoingAwayIsNotJoinedToTheNextOne) {
  Feed("46");
  framer_.Drop();
  Feed("01\n");
  EXPECT_THAT(codes_, ElementsAre("01"));
}

TEST(ScanDataXmlTest, TheAgentDecodesEveryByteBackUnchanged) {
  std::string code;
  for (int byte = 0; byte < 256; ++byte) code.push_back(static_cast<char>(byte));
  const std::optional<std::string> label = ExtractDataLabel(ScanDataXml(code, 2));
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(DecodeHexLabel(*label), code);
}

}  // namespace
}  // namespace dralmin
