#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dralmin {

// The job did not reach the printer; what() is the short reason told to the page.
class PrinterException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A way to the label printer that takes whole print jobs.
class PrinterPort {
 public:
  virtual ~PrinterPort() = default;
  // Hands the job to the printer; throws PrinterException when it could not.
  virtual void Send(std::string_view job) = 0;
};

struct PrinterTimeouts {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds write{10000};
  // After the job is sent, how long to wait for the printer to close its side, which tells that
  // it has read everything; printers that keep the connection open cost this much per job.
  std::chrono::milliseconds drain{1000};
};

// The port for a settings address: "" the local default printer, "/..." a printer device file,
// anything else "host" or "host:port" ("[v6]:port" for IPv6) of a network printer.
std::unique_ptr<PrinterPort> OpenPrinterPort(const std::string& address,
                                             const PrinterTimeouts& timeouts = {});

}  // namespace dralmin
