#pragma once

#include "support/PrinterPort.h"

namespace dralmin {

// The local default printer through the printing system, as a raw job that no filter touches.
class CupsPrinter final : public PrinterPort {
 public:
  void Send(std::string_view job) override;
};

}  // namespace dralmin
