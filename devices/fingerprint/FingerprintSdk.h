#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace dralmin {

// The SDK's eight calls behind an interface, so that tests can put a fake in place of the
// library. Arguments and results are those of the C functions in QuorvelSdk.h.
class FingerprintSdk {
 public:
  virtual ~FingerprintSdk() = default;

  virtual int32_t SdkInit(int32_t* context, int32_t reserved) = 0;
  virtual int32_t ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count) = 0;
  virtual int32_t ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner) = 0;
  virtual int32_t ScanCapture(int32_t context, int32_t scanner, int32_t* sample, int32_t reserved1,
                              int32_t reserved2) = 0;
  virtual int32_t MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                             uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength,
                             int32_t one) = 0;
  virtual int32_t ScanFreeSample(int32_t context, int32_t sample) = 0;
  virtual int32_t ScanClose(int32_t context, int32_t scanner) = 0;
  virtual int32_t MemFree(void* pointer) = 0;
};

// Makes the SDK available, or returns null when it cannot be had right now (the library is
// missing or incomplete); it is then asked again on the next attempt.
using SdkLoader = std::function<std::unique_ptr<FingerprintSdk>()>;

}  // namespace dralmin
