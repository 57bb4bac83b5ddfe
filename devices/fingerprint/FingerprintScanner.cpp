#include "devices/fingerprint/FingerprintScanner.h"

#include <string>

#include "devices/fingerprint/QuorvelSdk.h"
#include "devices/fingerprint/VeltranaException.h"

namespace dralmin {
namespace {

// Runs `release` when the scope ends, however it ends.
template <typename Release>
class Releaser {
 public:
  explicit Releaser(Release release) : release_(std::move(release)) {}
  ~Releaser() { release_(); }
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

 private:
  Release release_;
};

}  // namespace

void FingerprintScanner::EnsureSdk() {
  if (!sdk_) {
    sdk_ = loader_();
    if (!sdk_) throw VeltranaException(0, "Init SDK");
  }
  if (context_ != 0) return;
  int32_t context = 0;
  const int32_t result = sdk_->SdkInit(&context, 0);
  if (result != quorvel::kSuccess) throw VeltranaException(result, "Init SDK");
  context_ = context;
}

int32_t FingerprintScanner::OpenFirstScanner() {
  uint8_t* list = nullptr;
  int32_t count = 0;
  const int32_t listed = sdk_->ScanGetConnected(context_, &list, &count);
  if (listed != quorvel::kSuccess) throw VeltranaException(listed, "ScanGetConnected");
  Releaser freeList([&] {
    if (list != nullptr) sdk_->MemFree(list);
  });
  // A list that is missing despite a positive count cannot name a scanner either.
  if (count <= 0 || list == nullptr) throw VeltranaException(1, "Scanner not found");

  int32_t scanner = 0;
  const int32_t opened = sdk_->ScanOpen(context_, list[0], &scanner);
  if (opened != quorvel::kSuccess) throw VeltranaException(opened, "ScanOpen");
  return scanner;
}

EnrollResult FingerprintScanner::CaptureAndEnroll() {
  EnsureSdk();
  const int32_t scanner = OpenFirstScanner();
  Releaser closeScanner([&] { sdk_->ScanClose(context_, scanner); });

  int32_t sample = 0;
  const int32_t captured = sdk_->ScanCapture(context_, scanner, &sample, 0, 0);
  if (captured != quorvel::kSuccess) throw VeltranaException(captured, "ScanCapture");
  // Declared after the scanner's releaser, so the sample is freed before the scanner closes.
  Releaser freeSample([&] { sdk_->ScanFreeSample(context_, sample); });

  std::vector<uint8_t> buffer(kTemplateCapacity);
  uint8_t* templatePointer = buffer.data();
  int32_t length = kTemplateCapacity;
  EnrollResult result;
  const int32_t enrolled = sdk_->MathEnroll(context_, &sample, 0, &result.quality, &result.status,
                                            &templatePointer, &length, 1);
  if (enrolled == quorvel::kNoUsableFinger) {
    result.quality = 0;
    result.status = 0xFF;
    return result;
  }
  if (enrolled != quorvel::kSuccess) throw VeltranaException(enrolled, "MathEnroll");
  // A length outside the buffer would read memory that is not the template: refuse it rather
  // than send a page bytes that are not a fingerprint. The length is given as the code.
  if (length < 0 || length > kTemplateCapacity || (length > 0 && templatePointer == nullptr)) {
    throw VeltranaException(length, "MathEnroll");
  }
  result.templateBytes.assign(templatePointer, templatePointer + length);
  return result;
}

std::string TemplateText(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace dralmin
