#include "support/PrinterPort.h"

#include "support/SpoolerPrinter.h"
#include "support/TcpPrinter.h"

namespace dralmin {

std::unique_ptr<PrinterPort> OpenPrinterPort(const std::string& address,
                                             const PrinterTimeouts& timeouts) {
  // No printer device files here: a local printer is reached through the spooler.
  if (address.empty()) return std::make_unique<SpoolerPrinter>();
  return std::make_unique<TcpPrinter>(address, timeouts);
}

}  // namespace dralmin
