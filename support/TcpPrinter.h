#pragma once

#include <cstdint>
#include <string>

#include "support/PrinterPort.h"

namespace dralmin {

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
