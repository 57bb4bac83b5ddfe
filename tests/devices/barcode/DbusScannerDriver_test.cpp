#include "devices/barcode/DbusScannerDriver.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>

#include "devices/barcode/CScannerCommands.h"
#include "devices/barcode/PendingBarcode.h"
#include "tests/devices/barcode/DriverSimulator.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using test::DriverSimulator;
using test::PrivateBus;

// Runs the event loop until `condition` holds or the timeout passes.
template <typename Condition>
bool ProcessEventsUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class DbusScannerDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "barcode_tests";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  }

  void SetUp() override { ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start"; }
  void TearDown() override { QDBusConnection::disconnectFromBus(connectionName_); }

  QDBusConnection Connect() {
    return QDBusConnection::connectToBus(QString::fromStdString(bus_.address()), connectionName_);
  }

  // The frame's start-up sequence on a fresh connection.
  std::unique_ptr<CScannerCommands> Start(PendingBarcode& barcode) {
    const QDBusConnection bus = Connect();
    auto commands = std::make_unique<CScannerCommands>(
        [&bus] { return DbusScannerDriver::Create(bus); }, barcode);
    if (commands->IsDriverAvailable()) {
      int32_t status = 0;
      commands->OpenScanners({1}, status);
      commands->SubscribeEvents(1, "1", status);
    }
    return commands;
  }

  PrivateBus bus_;
  const QString connectionName_ = QStringLiteral("scanner-driver-test");
};

// Which of several codes is kept is the pending barcode's rule, tested with it.
TEST_F(DbusScannerDriverTest, TypedCodesReachThePendingBarcode) {
  DriverSimulator simulator(bus_.address());
  ASSERT_TRUE(simulator.ok());
  PendingBarcode barcode;
  const auto commands = Start(barcode);
  ASSERT_TRUE(commands->IsDriverAvailable());
  EXPECT_EQ(simulator.Calls(2),
            (std::vector<std::string>{
                "OpenScanners 0 [1,0,0,0,0,0,0,0] 1",
                "RunCommand 1001 "
                "<inArgs><cmdArgs><arg-int>1</arg-int><arg-int>1</arg-int></cmdArgs></inArgs>"}));

  ASSERT_TRUE(simulator.Type("4601"));
  std::optional<std::string> code;
  EXPECT_TRUE(ProcessEventsUntil([&] { return (code = barcode.Take()).has_value(); }, 5s));
  EXPECT_EQ(code, "4601");

  // Bytes outside ASCII come through unchanged.
  ASSERT_TRUE(simulator.Type("\xC9\xE2"));
  EXPECT_TRUE(ProcessEventsUntil([&] { return (code = barcode.Take()).has_value(); }, 5s));
  EXPECT_EQ(code, "\xC9\xE2");
}

TEST_F(DbusScannerDriverTest, NoDriverOnTheBusMeansNoDriverObject) {
  PendingBarcode barcode;
  const auto commands = Start(barcode);
  EXPECT_FALSE(commands->IsDriverAvailable());
}

TEST_F(DbusScannerDriverTest, ADriverStartedLaterOrAgainIsWatchedForAndConnected) {
  PendingBarcode barcode;
  std::unique_ptr<CScannerCommands> commands = Start(barcode);
  ASSERT_FALSE(commands->IsDriverAvailable());
  int connections = 0;
  const auto watch = WatchScannerDriver(Connect(), [&] {
    ++connections;
    commands.reset();
    commands = Start(barcode);
  });
  const auto typedCodeArrives = [&](DriverSimulator& driver, const std::string& code) {
    std::optional<std::string> taken;
    return driver.Type(code) &&
           ProcessEventsUntil([&] { return (taken = barcode.Take()).has_value(); }, 5s) &&
           taken == code;
  };

  for (const std::string code : {"4601", "4602"}) {  // a driver started later, then again
    const int before = connections;
    DriverSimulator driver(bus_.address());
    ASSERT_TRUE(driver.ok());
    EXPECT_TRUE(ProcessEventsUntil([&] { return connections == before + 1; }, 5s));
    EXPECT_EQ(driver.Calls(2).size(), 2u);  // opened and subscribed to
    EXPECT_TRUE(typedCodeArrives(driver, code));
  }
  EXPECT_EQ(connections, 2);
}

TEST_F(DbusScannerDriverTest, NoBusAtAllMeansNoDriverObject) {
  const QDBusConnection nowhere = QDBusConnection::connectToBus(
      QStringLiteral("unix:path=/nonexistent/dralmin-bus"), QStringLiteral("nowhere"));
  EXPECT_EQ(DbusScannerDriver::Create(nowhere), nullptr);
  QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

TEST_F(DbusScannerDriverTest, ADriverThatGoesAwayFailsTheCallsWithoutEndingTheAgent) {
  PendingBarcode barcode;
  std::unique_ptr<CScannerCommands> commands;
  {
    DriverSimulator simulator(bus_.address());
    ASSERT_TRUE(simulator.ok());
    commands = Start(barcode);
    ASSERT_TRUE(commands->IsDriverAvailable());
  }
  int32_t status = 42;
  EXPECT_EQ(commands->SubscribeEvents(1, "1", status), DbusScannerDriver::kCallFailed);
  EXPECT_EQ(status, 42);
  commands.reset();
}

}  // namespace
}  // namespace dralmin
