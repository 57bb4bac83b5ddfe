#include "devices/fingerprint/SdkLibrary.h"

#include "platform/Log.h"

namespace dralmin {

template <typename Function>
Function* SdkLibrary::Bind(const char* name, [[maybe_unused]] unsigned short ordinal) const {
#ifdef _WIN32
  Function* function = library_.GetAt<Function>(ordinal);
  if (function == nullptr) {
    throw DynamicLibraryError(std::string("fingerprint SDK has no function ") + name +
                              " (ordinal " + std::to_string(ordinal) + ")");
  }
#else
  Function* function = library_.Get<Function>(name);
  if (function == nullptr) {
    throw DynamicLibraryError(std::string("fingerprint SDK has no function ") + name);
  }
#endif
  return function;
}

SdkLibrary::SdkLibrary(const std::string& name)
    : library_(name),
      sdkInit_(Bind<quorvel::SdkInitFunction>("SdkInit", quorvel::kSdkInitOrdinal)),
      scanGetConnected_(Bind<quorvel::ScanGetConnectedFunction>("ScanGetConnected",
                                                                quorvel::kScanGetConnectedOrdinal)),
      scanOpen_(Bind<quorvel::ScanOpenFunction>("ScanOpen", quorvel::kScanOpenOrdinal)),
      scanCapture_(Bind<quorvel::ScanCaptureFunction>("ScanCapture", quorvel::kScanCaptureOrdinal)),
      mathEnroll_(Bind<quorvel::MathEnrollFunction>("MathEnroll", quorvel::kMathEnrollOrdinal)),
      scanFreeSample_(
          Bind<quorvel::ScanFreeSampleFunction>("ScanFreeSample", quorvel::kScanFreeSampleOrdinal)),
      scanClose_(Bind<quorvel::ScanCloseFunction>("ScanClose", quorvel::kScanCloseOrdinal)),
      memFree_(Bind<quorvel::MemFreeFunction>("MemFree", quorvel::kMemFreeOrdinal)) {}

int32_t SdkLibrary::SdkInit(int32_t* context, int32_t reserved) {
  return sdkInit_(context, reserved);
}

int32_t SdkLibrary::ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count) {
  return scanGetConnected_(context, scanners, count);
}

int32_t SdkLibrary::ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner) {
  return scanOpen_(context, scannerId, scanner);
}

int32_t SdkLibrary::ScanCapture(int32_t context, int32_t scanner, int32_t* sample,
                                int32_t reserved1, int32_t reserved2) {
  return scanCapture_(context, scanner, sample, reserved1, reserved2);
}

int32_t SdkLibrary::MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                               uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength,
                               int32_t one) {
  return mathEnroll_(context, sample, reserved, quality, status, templateBuffer, templateLength,
                     one);
}

int32_t SdkLibrary::ScanFreeSample(int32_t context, int32_t sample) {
  return scanFreeSample_(context, sample);
}

int32_t SdkLibrary::ScanClose(int32_t context, int32_t scanner) {
  return scanClose_(context, scanner);
}

int32_t SdkLibrary::MemFree(void* pointer) {
  return memFree_(pointer);
}

SdkLoader LibrarySdkLoader(std::string name,
                           std::function<void(const std::string& failure)> outcome) {
  return [name = std::move(name), outcome = std::move(outcome),
          told = false]() mutable -> std::unique_ptr<FingerprintSdk> {
    try {
      auto library = std::make_unique<SdkLibrary>(name);
      if (outcome) outcome({});
      return library;
    } catch (const DynamicLibraryError& error) {
      if (outcome) outcome(error.what());
      if (!told) {
        LogWarning("fingerprint", std::string("SDK unavailable: ") + error.what());
        told = true;
      }
      return nullptr;
    }
  };
}

}  // namespace dralmin
