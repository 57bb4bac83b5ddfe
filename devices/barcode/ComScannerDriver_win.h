#pragma once

#include <memory>

#include "devices/barcode/ScannerDriver.h"

namespace dralmin {

// The barcode scanner driver reached through COM. Made and used on a single-threaded apartment
// (the user-interface thread), where the driver's events arrive through the thread's message loop.
class ComScannerDriver final : public ScannerDriver {
 public:
  // The driver object, or null with one log line saying why (not installed, or it failed).
  static std::unique_ptr<ScannerDriver> Create();

  ~ComScannerDriver() override;
  ComScannerDriver(const ComScannerDriver&) = delete;
  ComScannerDriver& operator=(const ComScannerDriver&) = delete;

  bool Advise(ScannerDriverEvents& events) override;
  void Unadvise() override;
  int32_t OpenScanners(int32_t reserved, const std::vector<int16_t>& scannerTypes, int32_t count,
                       int32_t& status) override;
  int32_t RunCommand(int32_t opcode, const std::string& inXml, std::string& outXml,
                     int32_t& status) override;

 private:
  struct Com;
  explicit ComScannerDriver(std::unique_ptr<Com> com);
  // Releases the connection point and the sink, advised or not.
  void LetGoOfEvents();

  std::unique_ptr<Com> com_;
};

}  // namespace dralmin
