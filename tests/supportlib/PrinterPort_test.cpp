#include "support/PrinterPort.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/DeviceFilePrinter.h"
#endif

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "simulators/LoopbackSocket.h"
#include "support/TcpPrinter.h"
#include "tests/testkit/Helpers.h"
#include "tests/supportlib/FakePrinter.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TempFolder;
using ::testing::HasSubstr;

std::string FailureOf(PrinterPort& port, std::string_view job = "job") {
  try {
    port.Send(job);
  } catch (const PrinterException& e) {
    return e.what();
  }
  return "sent";
}

// A listening socket on 127.0.0.1 (or ::1) that accepts nothing by itself.
class Listener {
 public:
  explicit Listener(bool ipv6 = false)
      : fd_(loopback::Listen(0, ipv6)), port_(loopback::PortOf(fd_)) {}
  ~Listener() { loopback::Close(fd_); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

// Everything the peer sends until it closes its side.
std::string ReceiveAll(int connection) {
  std::string received;
  char buffer[64];
  long got;
  while ((got = loopback::Receive(connection, buffer, sizeof buffer)) > 0) {
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

TEST(TcpPrinterTest, AJobReachesTheNetworkPrinterWhole) {
  test::FakePrinter printer;
  ASSERT_TRUE(printer.ok());
  std::string job(300000, 'x');  // more than one socket buffer
  job += "\r\nPRINT 1\r\n";
  TcpPrinter(printer.address(), {}).Send(job);
  EXPECT_EQ(printer.Job(1), job);
  OpenPrinterPort(printer.address())->Send("second");
  EXPECT_EQ(printer.Job(2), "second");
}

TEST(TcpPrinterTest, PrinterThatKeepsTheConnectionOpenCostsOnlyTheDrainTime) {
  Listener listener;
  std::string received;
  std::mutex mutex;
  std::condition_variable changed;
  bool sent = false;
  std::thread peer([&] {
    const int connection = loopback::Accept(listener.fd());
    received = ReceiveAll(connection);
    // Holds the connection until the sender has given up waiting for it.
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 60s, [&] { return sent; });
    loopback::Close(connection);
  });
  PrinterTimeouts timeouts;
  timeouts.drain = 50ms;
  const auto start = std::chrono::steady_clock::now();
  TcpPrinter("127.0.0.1:" + std::to_string(listener.port()), timeouts).Send("LABEL");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // did not wait for the close
  {
    const std::lock_guard lock(mutex);
    sent = true;
  }
  changed.notify_one();
  peer.join();
  EXPECT_EQ(received, "LABEL");
}

// The job fits in the socket buffers, so only the printer's reset tells that it was not read.
TEST(TcpPrinterTest, PrinterThatDropsPartOfTheJobIsAFailure) {
  Listener listener;
  std::thread peer([&] {
    const int connection = loopback::Accept(listener.fd());
    char buffer[16];
    const long got = loopback::Receive(connection, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    // Waits for the rest of the job to arrive unread.
    EXPECT_TRUE(test::WaitFor(
        [&] { return loopback::Unread(connection) == static_cast<size_t>(4000 - got); }, 10s));
    loopback::Close(connection);  // unread bytes make the system answer with a reset
  });
  EXPECT_THROW(TcpPrinter("127.0.0.1:" + std::to_string(listener.port()), {})
                   .Send(std::string(4000, 'x')),
               PrinterException);
  peer.join();
}

TEST(TcpPrinterTest, UnreachableAndMalformedAddressesAreReported) {
  uint16_t closedPort = 0;
  {
    Listener listener;
    closedPort = listener.port();
  }
  TcpPrinter refused("127.0.0.1:" + std::to_string(closedPort), {});
  EXPECT_EQ(FailureOf(refused), "printer 127.0.0.1:" + std::to_string(closedPort) +
                                   " unreachable: " + test::ConnectionRefusedText());

  for (const char* address :
       {"host:", "host:0", "host:70000", "host:9100x", ":9100", "[::1", "[::1]x"}) {
    TcpPrinter printer(address, {});
    EXPECT_EQ(FailureOf(printer), std::string("invalid printer address ") + address);
  }
  TcpPrinter unknown("no-such-host.invalid", {});
  EXPECT_THAT(FailureOf(unknown), HasSubstr("printer no-such-host.invalid not found"));
}

TEST(TcpPrinterTest, IPv6AddressesInBrackets) {
  Listener listener(true);
  if (!listener.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  std::string received;
  std::thread peer([&] {
    const int connection = loopback::Accept(listener.fd());
    received = ReceiveAll(connection);
    loopback::Close(connection);
  });
  TcpPrinter("[::1]:" + std::to_string(listener.port()), {}).Send("six");
  peer.join();
  EXPECT_EQ(received, "six");
}

// Printer device files are POSIX only: on Windows a local printer is reached through the spooler.
#ifndef _WIN32
TEST(DeviceFilePrinterTest, JobsAreAppendedToTheDevice) {
  TempFolder folder;
  const std::string device = folder.path() + "/lp0";
  std::ofstream(device).close();
  OpenPrinterPort(device)->Send("one\r\n");
  OpenPrinterPort(device)->Send("two\r\n");
  EXPECT_EQ(ReadFile(device), "one\r\ntwo\r\n");
}

TEST(DeviceFilePrinterTest, AMissingDeviceIsReportedAndNeverCreated) {
  TempFolder folder;
  const std::string device = folder.path() + "/lp9";
  DeviceFilePrinter printer(device, {});
  EXPECT_EQ(FailureOf(printer), "printer " + device + " unavailable: No such file or directory");
  EXPECT_FALSE(std::ifstream(device).good());
}

TEST(DeviceFilePrinterTest, ADeviceThatTakesNothingTimesOut) {
  // A pipe whose reader never reads fills up, as a stalled printer's buffer does.
  TempFolder folder;
  const std::string fifo = folder.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  PrinterTimeouts timeouts;
  timeouts.write = 100ms;
  DeviceFilePrinter printer(fifo, timeouts);
  EXPECT_EQ(FailureOf(printer, std::string(1 << 20, 'x')),
            "printer " + fifo + " does not take the job");
  close(reader);
}
#endif

}  // namespace
}  // namespace dralmin
