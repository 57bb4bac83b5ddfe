#include "support/TcpPrinter.h"

#include <charconv>

namespace dralmin {

PrinterEndpoint SplitPrinterAddress(const std::string& address) {
  std::string host = address;
  std::string port = std::to_string(TcpPrinter::kDefaultPort);
  std::string rest;
  if (address.starts_with("[")) {
    const auto close = address.find(']');
    if (close == std::string::npos) throw PrinterException("invalid printer address " + address);
    host = address.substr(1, close - 1);
    rest = address.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(":")) {
      throw PrinterException("invalid printer address " + address);
    }
  } else if (const auto colon = address.find(':'); colon != std::string::npos) {
    host = address.substr(0, colon);
    rest = address.substr(colon);
  }
  if (!rest.empty()) {
    port = rest.substr(1);
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535) {
      throw PrinterException("invalid printer address " + address);
    }
  }
  if (host.empty()) throw PrinterException("invalid printer address " + address);
  return {host, port};
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

TcpPrinter::TcpPrinter(std::string address, PrinterTimeouts timeouts)
    : address_(std::move(address)), timeouts_(timeouts) {}

}  // namespace dralmin
