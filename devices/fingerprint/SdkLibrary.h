#pragma once

#include <functional>
#include <memory>
#include <string>

#include "devices/fingerprint/FingerprintSdk.h"
#include "devices/fingerprint/QuorvelSdk.h"
#include "platform/DynamicLibrary.h"

namespace dralmin {

// The SDK's shared library, loaded at run time with its eight functions taken by ordinal on
// Windows and by name elsewhere. The library stays loaded as long as this object lives.
class SdkLibrary final : public FingerprintSdk {
 public:
  // Throws DynamicLibraryError when the library cannot be loaded or lacks one of the functions.
  explicit SdkLibrary(const std::string& name);

  int32_t SdkInit(int32_t* context, int32_t reserved) override;
  int32_t ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count) override;
  int32_t ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner) override;
  int32_t ScanCapture(int32_t context, int32_t scanner, int32_t* sample, int32_t reserved1,
                      int32_t reserved2) override;
  int32_t MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                     uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength,
                     int32_t one) override;
  int32_t ScanFreeSample(int32_t context, int32_t sample) override;
  int32_t ScanClose(int32_t context, int32_t scanner) override;
  int32_t MemFree(void* pointer) override;

 private:
  template <typename Function>
  Function* Bind(const char* name, unsigned short ordinal) const;

  DynamicLibrary library_;
  quorvel::SdkInitFunction* sdkInit_;
  quorvel::ScanGetConnectedFunction* scanGetConnected_;
  quorvel::ScanOpenFunction* scanOpen_;
  quorvel::ScanCaptureFunction* scanCapture_;
  quorvel::MathEnrollFunction* mathEnroll_;
  quorvel::ScanFreeSampleFunction* scanFreeSample_;
  quorvel::ScanCloseFunction* scanClose_;
  quorvel::MemFreeFunction* memFree_;
};

// A loader that opens `name` on each call until it succeeds. The first failure's reason is
// written to standard error for the developer; the page only sees the "Init SDK" error.
// `outcome` (when given) hears of every attempt: an empty text when the library loaded, else why
// not.
SdkLoader LibrarySdkLoader(std::string name,
                           std::function<void(const std::string& failure)> outcome = {});

}  // namespace dralmin
