#include "devices/barcode/PendingBarcode.h"

#include "platform/ScopedFlag.h"
#include "replies/Jsonp.h"

namespace dralmin {

void PendingBarcode::PutBarcode(std::string code) {
  std::lock_guard lock(mutex_);
  pending_ = std::move(code);
}

std::optional<std::string> PendingBarcode::Take() {
  std::lock_guard lock(mutex_);
  std::optional<std::string> code = std::move(pending_);
  pending_.reset();
  return code;
}

std::string PendingBarcode::GetBarcode() {
  if (barcodeBusy_) return {};
  ScopedFlag busy(barcodeBusy_);
  std::string body;
  if (std::optional<std::string> code = Take()) {
    body = "DralminBarcode__callback({code:'";
    AppendJsString(body, *code);
    body += "'})";
  }
  return body;
}

}  // namespace dralmin
