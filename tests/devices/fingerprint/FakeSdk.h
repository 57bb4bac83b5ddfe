#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/fingerprint/FingerprintSdk.h"

namespace dralmin::test {

// What the fake SDK reports and what it saw. Shared between the test and the fake, which the
// code under test owns.
struct FakeSdkScript {
  std::map<std::string, int32_t> results;  // by function name; 1 when absent
  std::string throwAt;                     // a function that throws instead of returning
  int32_t scanners = 1;
  bool listAnyway = false;  // hand out a list even with no scanner connected
  uint8_t quality = 90;
  std::vector<uint8_t> templateBytes = {0x0a, 0xff};
  std::optional<int32_t> reportedLength;
  std::function<void()> duringCapture;  // runs inside ScanCapture

  std::vector<std::string> calls;
  int32_t openedId = -1;
  int32_t capacitySeen = -1;
  int32_t loads = 0;
  // Taken and given back; a leak shows as a difference, a misuse as a count.
  int lists = 0, listsFreed = 0, opens = 0, closes = 0, samples = 0, samplesFreed = 0;
  int misuse = 0;
  std::set<void*> liveLists;
  std::set<int32_t> liveScanners, liveSamples;

  bool Balanced() const {
    return lists == listsFreed && opens == closes && samples == samplesFreed && misuse == 0;
  }
};

class FakeSdk final : public FingerprintSdk {
 public:
  static constexpr int32_t kContext = 77;

  explicit FakeSdk(std::shared_ptr<FakeSdkScript> script) : s_(std::move(script)) {}

  int32_t SdkInit(int32_t* context, int32_t reserved) override {
    const int32_t result = Enter("SdkInit");
    if (reserved != 0) ++s_->misuse;
    if (result == 1) *context = kContext;
    return result;
  }

  int32_t ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count) override {
    const int32_t result = Enter("ScanGetConnected");
    Check(context);
    if (*scanners != nullptr || *count != 0) ++s_->misuse;  // must come preset
    if (result != 1) return result;
    *count = s_->scanners;
    if (s_->scanners > 0 || s_->listAnyway) {
      auto* list = static_cast<uint8_t*>(std::malloc(8));
      list[0] = 42;
      list[1] = 43;
      s_->liveLists.insert(list);
      ++s_->lists;
      *scanners = list;
    }
    return result;
  }

  int32_t ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner) override {
    const int32_t result = Enter("ScanOpen");
    Check(context);
    s_->openedId = scannerId;
    if (result != 1) return result;
    *scanner = next_++;
    s_->liveScanners.insert(*scanner);
    ++s_->opens;
    return result;
  }

  int32_t ScanCapture(int32_t context, int32_t scanner, int32_t* sample, int32_t reserved1,
                      int32_t reserved2) override {
    const int32_t result = Enter("ScanCapture");
    Check(context);
    if (*sample != 0 || reserved1 != 0 || reserved2 != 0 || !s_->liveScanners.count(scanner)) {
      ++s_->misuse;
    }
    if (s_->duringCapture) s_->duringCapture();
    if (result != 1) return result;
    *sample = next_++;
    s_->liveSamples.insert(*sample);
    ++s_->samples;
    return result;
  }

  int32_t MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                     uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength,
                     int32_t one) override {
    const int32_t result = Enter("MathEnroll");
    Check(context);
    s_->capacitySeen = *templateLength;
    if (!s_->liveSamples.count(*sample) || reserved != 0 || one != 1) ++s_->misuse;
    *quality = s_->quality;  // reported with every result: the caller decides what counts
    *status = 0;
    if (result != 1) return result;
    for (size_t i = 0; i < s_->templateBytes.size(); ++i)
      (*templateBuffer)[i] = s_->templateBytes[i];
    *templateLength = s_->reportedLength.value_or(static_cast<int32_t>(s_->templateBytes.size()));
    return result;
  }

  int32_t ScanFreeSample(int32_t context, int32_t sample) override {
    const int32_t result = Enter("ScanFreeSample");
    Check(context);
    if (s_->liveSamples.erase(sample) == 0) ++s_->misuse;
    ++s_->samplesFreed;
    return result;
  }

  int32_t ScanClose(int32_t context, int32_t scanner) override {
    const int32_t result = Enter("ScanClose");
    Check(context);
    if (s_->liveScanners.erase(scanner) == 0) ++s_->misuse;
    ++s_->closes;
    return result;
  }

  int32_t MemFree(void* pointer) override {
    const int32_t result = Enter("MemFree");
    if (s_->liveLists.erase(pointer) == 0) {
      ++s_->misuse;
    } else {
      std::free(pointer);
    }
    ++s_->listsFreed;
    return result;
  }

 private:
  int32_t Enter(const std::string& name) {
    s_->calls.push_back(name);
    if (s_->throwAt == name) throw std::runtime_error("fake SDK fault in " + name);
    const auto found = s_->results.find(name);
    return found == s_->results.end() ? 1 : found->second;
  }
  void Check(int32_t context) {
    if (context != kContext) ++s_->misuse;
  }

  std::shared_ptr<FakeSdkScript> s_;
  int32_t next_ = 500;
};

// A loader handing out fakes over `script`, or nothing while `*available` is false.
inline SdkLoader FakeLoader(std::shared_ptr<FakeSdkScript> script,
                            std::shared_ptr<bool> available = std::make_shared<bool>(true)) {
  return [script, available]() -> std::unique_ptr<FingerprintSdk> {
    ++script->loads;
    if (!*available) return nullptr;
    return std::make_unique<FakeSdk>(script);
  };
}

}  // namespace dralmin::test
