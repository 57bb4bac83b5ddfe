#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/fingerprint/FingerprintSdk.h"

namespace dralmin {

// The outcome of one capture. The template bytes are copied out of the SDK's buffer, which is
// released before the capture returns.
struct EnrollResult {
  uint8_t quality = 0;
  uint8_t status = 0;  // the SDK's second status byte; nothing reads it
  std::vector<uint8_t> templateBytes;
};

// The fingerprint SDK adapter: loads and initialises the SDK on first need and runs one capture
// at a time on the first connected scanner. Failures are thrown as VeltranaException; whatever a
// capture took from the SDK (scanner list, scanner, sample) is given back on every path.
class FingerprintScanner {
 public:
  static constexpr int32_t kTemplateCapacity = 10240;

  explicit FingerprintScanner(SdkLoader loader) : loader_(std::move(loader)) {}

  // Loads the library and initialises the SDK unless that is done. A library that cannot be
  // loaded fails as step "Init SDK" with code 0; both are tried again on the next call.
  void EnsureSdk();

  // One complete attempt: open the first scanner, capture, enroll, free the sample, close.
  // The SDK's -13 from enrolment gives quality 0 and status 0xFF rather than a failure.
  EnrollResult CaptureAndEnroll();

 private:
  int32_t OpenFirstScanner();

  SdkLoader loader_;
  std::unique_ptr<FingerprintSdk> sdk_;  // kept for the life of the process once loaded
  int32_t context_ = 0;                  // 0 until SdkInit succeeds
};

// The template as lowercase hexadecimal, two digits a byte, no separators.
std::string TemplateText(const std::vector<uint8_t>& bytes);

}  // namespace dralmin
