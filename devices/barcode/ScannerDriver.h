#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dralmin {

// The events the scanner driver sends to whoever subscribed.
class ScannerDriverEvents {
 public:
  virtual ~ScannerDriverEvents() = default;
  // A scan: `scanData` is the driver's XML with the code in its <datalabel>.
  virtual void OnScanData(int16_t eventType, const std::string& scanData) = 0;
  // The answer to an asynchronous command; nothing in the agent asks for one.
  virtual void OnScanCmdResponse(int16_t status, const std::string& response) = 0;
};

// The separately installed barcode scanner driver, as the agent reaches it. Calls return 0 when
// the driver answered and a non-zero code when the call itself failed (the driver's own verdict
// is in `status`).
class ScannerDriver {
 public:
  virtual ~ScannerDriver() = default;

  // Routes the driver's events to `events` until Unadvise; false when they cannot be connected.
  virtual bool Advise(ScannerDriverEvents& events) = 0;
  virtual void Unadvise() = 0;

  virtual int32_t OpenScanners(int32_t reserved, const std::vector<int16_t>& scannerTypes,
                               int32_t count, int32_t& status) = 0;
  virtual int32_t RunCommand(int32_t opcode, const std::string& inXml, std::string& outXml,
                             int32_t& status) = 0;
};

// Creates the driver object; null when no driver is installed or reachable.
using ScannerDriverFactory = std::function<std::unique_ptr<ScannerDriver>()>;

}  // namespace dralmin
