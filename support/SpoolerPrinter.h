#pragma once

#include "support/PrinterPort.h"

namespace dralmin {

// The local default printer through the Windows spooler, as a raw job that no driver touches.
class SpoolerPrinter final : public PrinterPort {
 public:
  void Send(std::string_view job) override;
};

}  // namespace dralmin
