#include "support/PrinterPort.h"

#include "support/CupsPrinter.h"
#include "support/DeviceFilePrinter.h"
#include "support/TcpPrinter.h"

namespace dralmin {

std::unique_ptr<PrinterPort> OpenPrinterPort(const std::string& address,
                                             const PrinterTimeouts& timeouts) {
  if (address.empty()) return std::make_unique<CupsPrinter>();
  if (address.starts_with("/")) return std::make_unique<DeviceFilePrinter>(address, timeouts);
  return std::make_unique<TcpPrinter>(address, timeouts);
}

}  // namespace dralmin
