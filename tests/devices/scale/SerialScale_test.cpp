// The reader and the termios port against the simulated scale on a pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "devices/scale/WeightEndpoint.h"
#include "devices/scale/Weighter.h"
#include "simulators/scale/ScaleSimulator.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;
using Fault = ScaleSettings::Fault;

const std::string kEnq = "\x05";
const std::string kDc1 = "\x11";

// Short waits, so that a silent port costs a fraction of a second.
constexpr SerialTimings kFast{std::chrono::milliseconds(300), std::chrono::milliseconds(1),
                              std::chrono::milliseconds(300), std::chrono::milliseconds(20)};

ScaleSettings Scale(std::string weight, std::string unit = "kg", Fault fault = Fault::None) {
  return ScaleSettings{std::move(weight), std::move(unit), fault};
}

std::unique_ptr<Weighter> Search(const std::vector<std::string>& ports) {
  return std::make_unique<Weighter>(std::make_unique<PosixSerialPort>(kFast), ports);
}

bool Receives(const ScaleSimulator& scale, const std::string& bytes) {
  return WaitFor([&] { return scale.Received() == bytes; }, 5s);
}

TEST(SerialScaleTest, SearchSkipsSilentAndWrongPortsAndWeighsOnTheScale) {
  ScaleSimulator silent(Scale("9.000", "kg", Fault::Silent));
  ScaleSimulator wrong(Scale("8.000", "kg", Fault::WrongByte));
  ScaleSimulator scale(Scale("12.5"));

  const auto reader = Search({"/dev/null", "/nonexistent/tty", silent.devicePath(),
                              wrong.devicePath(), scale.devicePath()});
  EXPECT_EQ(reader->portPath(), scale.devicePath());
  EXPECT_TRUE(Receives(silent, kEnq));
  EXPECT_TRUE(Receives(wrong, kEnq));
  EXPECT_TRUE(Receives(scale, kEnq));

  EXPECT_DOUBLE_EQ(reader->ReadWeight(), 12.5);
  EXPECT_TRUE(Receives(scale, kEnq + kDc1));
  EXPECT_DOUBLE_EQ(reader->ReadWeight(), 12.5);
  EXPECT_TRUE(Receives(scale, kEnq + kDc1 + kEnq + kDc1));
  EXPECT_EQ(wrong.Received(), kEnq);  // left behind for good
}

TEST(SerialScaleTest, NoAnsweringPortThrowsNamingEachPortAndWhy) {
  ScaleSimulator silent(Scale("1", "kg", Fault::Silent));
  try {
    Search({silent.devicePath(), "/nonexistent/tty", "/dev/null"});
    ADD_FAILURE() << "no scale was there";
  } catch (const ComPortException& error) {
    const std::string what = error.what();
    EXPECT_THAT(what, ::testing::StartsWith("no scale on 3 ports: " + silent.devicePath() +
                                            ": no answer to ENQ; "));
    EXPECT_THAT(what, ::testing::HasSubstr("/dev/null"));
    EXPECT_THAT(what, ::testing::EndsWith("; not there: /nonexistent/tty"));
  }
}

TEST(SerialScaleTest, AStopEndsAReadFromASilentScaleAtOnce) {
  ScaleSimulator silent(Scale("1", "kg", Fault::Silent));
  std::atomic<bool> stopping{false};
  PosixSerialPort port(SerialTimings{}, &stopping);  // a silent read waits 3 s for 10 bytes
  ASSERT_TRUE(port.OpenPort(silent.devicePath()));
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stopping = true;
  });
  const auto start = std::chrono::steady_clock::now();
  std::string received;
  EXPECT_FALSE(port.ReadBytes(received, 10));
  const auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(port.LastError(), "read cancelled");
  EXPECT_LT(took, 1500ms);
}

TEST(SerialScaleTest, DecodesWhatTheScaleSends) {
  ScaleSimulator scale(Scale("-1.20", "LB"));
  const auto reader = Search({scale.devicePath()});
  EXPECT_DOUBLE_EQ(reader->ReadWeight(), -1.2 * 0.45359237);
  scale.Set(Scale("1", "kg", Fault::FReading));
  EXPECT_EQ(reader->ReadWeight(), std::numeric_limits<double>::infinity());
  scale.Set(Scale("1", "kg", Fault::ShortAnswer));
  EXPECT_THROW(reader->ReadWeight(), WeighterException);
  scale.Set(Scale("1", "kg", Fault::WrongByte));
  EXPECT_THROW(reader->ReadWeight(), WeighterException);
}

TEST(SerialScaleTest, TheFoundPortIsHeldExclusivelyUntilTheReaderGoes) {
  ScaleSimulator scale(Scale("1"));
  auto reader = Search({scale.devicePath()});
  PosixSerialPort other(kFast);
  EXPECT_FALSE(other.OpenPort(scale.devicePath()));
  EXPECT_THAT(other.LastError(), ::testing::HasSubstr(scale.devicePath()));
  reader.reset();
  EXPECT_TRUE(other.OpenPort(scale.devicePath()));
  EXPECT_TRUE(other.ClosePort());
  EXPECT_FALSE(other.ClosePort());
}

TEST(SerialScaleTest, PortRefusesWhatIsNotASerialLine) {
  PosixSerialPort port(kFast);
  EXPECT_FALSE(port.OpenPort("/dev/null"));
  EXPECT_FALSE(port.OpenPort("/nonexistent/tty"));
  std::string received;
  EXPECT_FALSE(port.ReadBytes(received, 1));
  EXPECT_FALSE(port.WriteByte(0x05));
}

TEST(SerialScaleTest, ReadOfASilentLineReturnsEmptyAfterItsTimeOut) {
  ScaleSimulator silent(Scale("1", "kg", Fault::Silent));
  PosixSerialPort port(kFast);
  ASSERT_TRUE(port.OpenPort(silent.devicePath()));
  const auto start = std::chrono::steady_clock::now();
  std::string received = "stale";
  EXPECT_TRUE(port.ReadBytes(received, 10));
  EXPECT_EQ(received, "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, kFast.readBase + 10 * kFast.readPerByte);
}

TEST(SerialScaleTest, AFailureDropsTheReaderAndTheNextRequestSearchesAgain) {
  ScaleSimulator scale(Scale("2.5"));
  const std::vector<std::string> ports{scale.devicePath()};
  WeightEndpoint endpoint(
      [&] { return std::make_unique<Weighter>(std::make_unique<PosixSerialPort>(kFast), ports); },
      std::make_unique<CurlHttpClient>());

  EXPECT_EQ(endpoint.GetWeight(), "DralminWeighter__callback({value: 2.500000})");
  scale.Set(Scale("2.5", "kg", Fault::Silent));
  EXPECT_EQ(endpoint.GetWeight(), "DralminWeighter__callback({value: 0})");
  EXPECT_FALSE(endpoint.HasScale());

  scale.Set(Scale("3.75"));
  EXPECT_TRUE(WaitFor([&] { return !scale.Received().empty(); }, 5s));
  scale.ClearReceived();
  EXPECT_EQ(endpoint.GetWeight(), "DralminWeighter__callback({value: 3.750000})");
  // A new search (ENQ answered), then the first weighing, which sends DC1 only.
  EXPECT_TRUE(Receives(scale, kEnq + kDc1));
}

}  // namespace
}  // namespace dralmin::test
