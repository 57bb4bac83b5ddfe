#pragma once

#include <string>

#include "support/PrinterPort.h"

namespace dralmin {

// A printer device file such as /dev/usb/lp0, written directly. The file must exist: a missing
// device means an unplugged printer, and is never created as an ordinary file.
class DeviceFilePrinter final : public PrinterPort {
 public:
  DeviceFilePrinter(std::string path, PrinterTimeouts timeouts);
  void Send(std::string_view job) override;

 private:
  std::string path_;
  PrinterTimeouts timeouts_;
};

}  // namespace dralmin
