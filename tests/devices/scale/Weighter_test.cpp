#include "devices/scale/Weighter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/devices/scale/FakeSerialPort.h"

namespace dralmin::test {
namespace {

using ::testing::ElementsAre;

// An answer to DC1 with the given seven weight characters and two unit letters.
std::string Answer(const std::string& weight, const std::string& unit = "kg") {
  return "ST," + weight + unit + "\r\n";
}

TEST(DecodeWeightAnswerTest, ReadsTheWeightTextLikeAtof) {
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(" 12.345")), 12.345);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer("-001.20")), -1.2);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer("+0005.5")), 5.5);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer("   .750")), 0.75);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer("  12.5x")), 12.5);  // ends at the first misfit
  EXPECT_EQ(DecodeWeightAnswer(Answer("       ")), 0.0);
  EXPECT_EQ(DecodeWeightAnswer(Answer("   -   ")), 0.0);
  EXPECT_EQ(DecodeWeightAnswer(Answer("ERR-01 ")), 0.0);
  // The scale's text is a C string.
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(std::string("  1\0"
                                                         "999",
                                                         7))),
                   1.0);
}

TEST(DecodeWeightAnswerTest, NeverYieldsAValueThatIsNotANumberLiteral) {
  // atof would read these as NaN, infinity or 16, none of which a page can be given.
  EXPECT_EQ(DecodeWeightAnswer(Answer("    nan")), 0.0);
  EXPECT_EQ(DecodeWeightAnswer(Answer("    inf")), 0.0);
  EXPECT_EQ(DecodeWeightAnswer(Answer("   0x10")), 0.0);
}

TEST(DecodeWeightAnswerTest, AnFReadingIsInfinityWhateverFollows) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(DecodeWeightAnswer(Answer("F      ")), inf);
  EXPECT_EQ(DecodeWeightAnswer(Answer("F-12.50")), inf);
  EXPECT_EQ(DecodeWeightAnswer(Answer("F 12.50", "lb")), inf);
  // Only the first weight character counts.
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(" F12.50")), 0.0);
}

TEST(DecodeWeightAnswerTest, PoundsBecomeKilogramsAndOtherUnitsPassUnchanged) {
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer("  1.000", "lb")), 0.45359237);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(" 10.000", "LB")), 4.5359237);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(" -2.000", "lB")), -0.90718474);
  for (const char* unit : {"kg", "KG", "  ", "g ", "l ", "bl", "oz"}) {
    EXPECT_DOUBLE_EQ(DecodeWeightAnswer(Answer(" 10.000", unit)), 10.0) << unit;
  }
}

TEST(DecodeWeightAnswerTest, OnlyTheWeightAndUnitBytesMatter) {
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer("999  1.500kgXYZ lb 77"), 1.5);
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer(std::string("\0\x06\x11", 3) + "  1.500kg"), 1.5);
  // Exactly the twelve bytes of the layout are enough.
  EXPECT_DOUBLE_EQ(DecodeWeightAnswer("ST,  2.000lb"), 0.90718474);
}

TEST(DecodeWeightAnswerTest, AShortAnswerIsAFailureNotANumber) {
  EXPECT_THROW(DecodeWeightAnswer(""), WeighterException);
  EXPECT_THROW(DecodeWeightAnswer("ST,  2.000l"), WeighterException);
  EXPECT_THROW(DecodeWeightAnswer("ST,  5"), WeighterException);
}

TEST(ScaleCandidatePortsTest, DefaultsToThirtyPortsInTheirOrder) {
  const std::vector<std::string> ports = ScaleCandidatePorts("");
  ASSERT_EQ(ports.size(), 30u);
#ifdef _WIN32
  EXPECT_EQ(ports[0], "\\\\.\\COM0");
  EXPECT_EQ(ports[29], "\\\\.\\COM29");
#else
  EXPECT_EQ(ports[0], "/dev/ttyUSB0");
  EXPECT_EQ(ports[9], "/dev/ttyUSB9");
  EXPECT_EQ(ports[10], "/dev/ttyACM0");
  EXPECT_EQ(ports[20], "/dev/ttyS0");
  EXPECT_EQ(ports[29], "/dev/ttyS9");
#endif
}

TEST(ScaleCandidatePortsTest, ASettingReplacesTheList) {
  EXPECT_THAT(ScaleCandidatePorts("/dev/pts/7"), ElementsAre("/dev/pts/7"));
  EXPECT_THAT(ScaleCandidatePorts(" /dev/a , ,/dev/b,"), ElementsAre("/dev/a", "/dev/b"));
}

class WeighterTest : public ::testing::Test {
 protected:
  std::unique_ptr<Weighter> Make(const std::vector<std::string>& candidates) {
    return std::make_unique<Weighter>(std::make_unique<FakeSerialPort>(lines_), candidates);
  }
  FakeLines lines_;
};

TEST_F(WeighterTest, SearchPassesOverAbsentBusySilentAndWrongPorts) {
  lines_.devices["/busy"].opens = false;
  lines_.devices["/silent"].enqAnswer = "";
  lines_.devices["/nak"].enqAnswer = "\x15";
  lines_.devices["/broken"].writeFails = true;
  lines_.devices["/deaf"].readFails = true;
  lines_.devices["/scale"].dc1Answer = Answer("  1.250");
  lines_.devices["/later"];

  const auto scale =
      Make({"/absent", "/busy", "/silent", "/nak", "/broken", "/deaf", "/scale", "/later"});
  EXPECT_EQ(scale->portPath(), "/scale");
  EXPECT_EQ(lines_.openPath, "/scale");
  EXPECT_THAT(lines_.log,
              ElementsAre("open /absent", "open /busy", "open /silent", "write 05", "read 10",
                          "close", "open /nak", "write 05", "read 10", "close", "open /broken",
                          "write 05", "close", "open /deaf", "write 05", "read 10", "close",
                          "open /scale", "write 05", "read 10"));
}

TEST_F(WeighterTest, NoScaleFoundClosesTheLastPortAndSaysWhyEachPortDidNotDo) {
  lines_.devices["/busy"].opens = false;
  lines_.devices["/silent"].enqAnswer = "";
  lines_.devices["/nak"].enqAnswer = "\x15";
  lines_.devices["/modem"].enqAnswer = "AT";
  try {
    Make({"/absent", "/busy", "/silent", "/gone", "/nak", "/modem"});
    ADD_FAILURE() << "no scale was there";
  } catch (const ComPortException& error) {
    EXPECT_STREQ(error.what(),
                 "no scale on 6 ports: /busy: cannot open; /silent: no answer to ENQ; "
                 "/nak: NAK to ENQ; /modem: answered 0x41 to ENQ; not there: /absent, /gone");
  }
  EXPECT_TRUE(lines_.openPath.empty());
  EXPECT_EQ(lines_.log.back(), "close");
  try {
    Make({"/absent"});
    ADD_FAILURE() << "no scale was there";
  } catch (const ComPortException& error) {
    EXPECT_STREQ(error.what(), "no scale on 1 port: not there: /absent");
  }
}

TEST_F(WeighterTest, AStopEndsTheSearchBeforeTheNextPort) {
  lines_.devices["/scale"];
  const std::atomic<bool> stopping{true};
  EXPECT_THROW(Weighter(std::make_unique<FakeSerialPort>(lines_), {"/scale"}, &stopping),
               ComPortException);
  EXPECT_THAT(lines_.log, ::testing::Not(::testing::Contains("open /scale")));
}

TEST_F(WeighterTest, FirstWeighingSendsOnlyDc1AndLaterOnesAskFirst) {
  lines_.devices["/scale"].dc1Answer = Answer("  1.250");
  const auto scale = Make({"/scale"});
  lines_.log.clear();

  EXPECT_DOUBLE_EQ(scale->ReadWeight(), 1.25);
  EXPECT_THAT(lines_.log, ElementsAre("write 11", "read 128"));
  lines_.log.clear();

  EXPECT_DOUBLE_EQ(scale->ReadWeight(), 1.25);
  EXPECT_THAT(lines_.log, ElementsAre("write 05", "read 128", "write 11", "read 128"));
}

TEST_F(WeighterTest, DestructionClosesThePort) {
  lines_.devices["/scale"];
  Make({"/scale"}).reset();
  EXPECT_TRUE(lines_.openPath.empty());
  EXPECT_EQ(lines_.log.back(), "close");
}

TEST_F(WeighterTest, EachFailureDuringAWeighingHasItsException) {
  FakeLines::Device& device = lines_.devices["/scale"];
  device.dc1Answer = Answer("  1.250");
  const auto scale = Make({"/scale"});
  EXPECT_DOUBLE_EQ(scale->ReadWeight(), 1.25);

  device.enqAnswer = "\x15";
  EXPECT_THROW(scale->ReadWeight(), WeighterException);
  device.enqAnswer = "";
  EXPECT_THROW(scale->ReadWeight(), WeighterException);
  device.enqAnswer = "\x06";
  device.dc1Answer = "ST,  1.2";
  EXPECT_THROW(scale->ReadWeight(), WeighterException);
  device.readFails = true;
  EXPECT_THROW(scale->ReadWeight(), ComPortException);
  device.readFails = false;
  device.writeFails = true;
  try {
    scale->ReadWeight();
    ADD_FAILURE() << "the write failed";
  } catch (const ComPortException& error) {
    // The support line names the port and the step.
    EXPECT_THAT(error.what(), ::testing::StartsWith("/scale: ENQ not sent"));
  }
}

TEST_F(WeighterTest, FailedDc1ReadAfterTheSearchIsAPortFailure) {
  FakeLines::Device& device = lines_.devices["/scale"];
  const auto scale = Make({"/scale"});
  device.readFails = true;
  EXPECT_THROW(scale->ReadWeight(), ComPortException);
  EXPECT_THAT(lines_.log, ::testing::Contains("write 11"));
}

}  // namespace
}  // namespace dralmin::test
