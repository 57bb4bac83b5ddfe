#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace dralmin {

// The one scanned code not yet fetched, and the "/barcode" reply built from it. The scanner side
// puts codes on the user-interface thread; the gateway takes them on the poll thread.
class PendingBarcode {
 public:
  // Replaces any pending code: only the latest scan is kept.
  void PutBarcode(std::string code);

  // The reply body: the callback with the pending code, which is delivered only this once, or an
  // empty body when nothing is pending.
  std::string GetBarcode();

  std::optional<std::string> Take();

 private:
  std::mutex mutex_;  // held only to exchange the string, never across I/O
  std::optional<std::string> pending_;
  bool barcodeBusy_ = false;  // poll thread only
};

}  // namespace dralmin
