#include "devices/fingerprint/FingerprintEndpoint.h"

#include <chrono>

#include "devices/fingerprint/VeltranaException.h"
#include "platform/Log.h"
#include "platform/ScopedFlag.h"
#include "replies/Jsonp.h"

namespace dralmin {
namespace {

// The user messages, in Windows-1251 as the replies are declared.
// "Сканирование открыто в другой вкладке" (scanning is open in another tab)
constexpr std::string_view kOtherTab =
    "\xd1\xea\xe0\xed\xe8\xf0\xee\xe2\xe0\xed\xe8\xe5 \xee\xf2\xea\xf0\xfb\xf2\xee \xe2 "
    "\xe4\xf0\xf3\xe3\xee\xe9 \xe2\xea\xeb\xe0\xe4\xea\xe5";
// "Поместите палец на сканер" (put a finger on the scanner)
constexpr std::string_view kPlaceFinger =
    "\xcf\xee\xec\xe5\xf1\xf2\xe8\xf2\xe5 \xef\xe0\xeb\xe5\xf6 \xed\xe0 \xf1\xea\xe0\xed\xe5\xf0";
// "Уберите палец со сканера" (take the finger off the scanner)
constexpr std::string_view kLiftFinger =
    "\xd3\xe1\xe5\xf0\xe8\xf2\xe5 \xef\xe0\xeb\xe5\xf6 \xf1\xee \xf1\xea\xe0\xed\xe5\xf0\xe0";

std::string TemplateReply(const std::vector<uint8_t>& bytes) {
  std::string body(kFingerprintCallback);
  body += "{template:'";
  AppendJsString(body, TemplateText(bytes));
  body += "'});";
  return body;
}

}  // namespace

int64_t MonotonicSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool FingerprintEndpoint::Admit(const std::string& id) {
  if (id.empty()) return true;  // anonymous requests neither need nor refresh ownership
  const int64_t now = clock_();
  if (!lastFingerId.empty() && lastFingerId != id) {
    const double silent = static_cast<double>(now) - static_cast<double>(lastFingerTime);
    if (!(silent > kOwnerTimeoutSeconds)) return false;
  }
  lastFingerId = id;
  lastFingerTime = now;
  return true;
}

std::string FingerprintEndpoint::Handle(const std::string& id) {
  if (!Admit(id)) {
    Log(LogLevel::Warning, "fingerprint",
        "page '" + id + "' refused: page '" + lastFingerId +
            "' holds the scanner until it is silent for 5 s",
        LogReach::kNotRecent);
    return FingerprintError(kOtherTab);
  }
  if (captureBusy) return {};
  ScopedFlag busy(captureBusy);
  return Capture();
}

std::string FingerprintEndpoint::Capture() {
  try {
    const EnrollResult result = scanner_.CaptureAndEnroll();
    if (result.quality < kGoodQuality) {
      fingerCaptured = false;
      return FingerprintError(kPlaceFinger);
    }
    if (fingerCaptured) return FingerprintError(kLiftFinger);
    fingerCaptured = true;
    return TemplateReply(result.templateBytes);
  } catch (const VeltranaException& error) {
    LogWarning("fingerprint", std::string("capture failed: ") + error.what());
    return FingerprintError(error.what());
  }
}

}  // namespace dralmin
