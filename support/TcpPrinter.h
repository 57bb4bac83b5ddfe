#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "support/PrinterPort.h"

namespace dralmin {

// Host and port of a printer address, the port 9100 when the address names none.
struct PrinterEndpoint {
  std::string host;
  std::string port;
};

// Throws PrinterException for an address that is not "host", "host:port", "[v6]" or "[v6]:port".
PrinterEndpoint SplitPrinterAddress(const std::string& address);

// Whole milliseconds from now until `deadline`, 0 once it has passed: the wait of one socket poll.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

// A network printer that takes raw jobs on a TCP port (9100 by default).
class TcpPrinter final : public PrinterPort {
 public:
  static constexpr uint16_t kDefaultPort = 9100;

  // `address` is "host", "host:port", "[v6]" or "[v6]:port".
  TcpPrinter(std::string address, PrinterTimeouts timeouts);
  void Send(std::string_view job) override;

 private:
  std::string address_;
  PrinterTimeouts timeouts_;
};

}  // namespace dralmin
