#include "devices/scanning/ScannerListing.h"

#include "platform/Log.h"

namespace dralmin {

void ScannerListing::SetBackend(std::string backend) {
  std::lock_guard lock(mutex_);
  state_.backend = std::move(backend);
}

void ScannerListing::Record(std::vector<std::string> scanners) {
  std::string backend;
  bool turnedEmpty = false;
  {
    std::lock_guard lock(mutex_);
    turnedEmpty = scanners.empty() && (!state_.scanners || !state_.scanners->empty());
    state_.scanners = std::move(scanners);
    state_.listed = clock_();
    backend = state_.backend;
  }
  if (turnedEmpty) {
    LogWarning("scanner", NoScannerWarning(backend));
  }
}

std::string ScannerListing::NoScannerWarning(const std::string& backend) {
  return "the scan backend " + (backend.empty() ? std::string() : backend + " ") +
         "lists no scanner: every scan fails until one is connected";
}

ScannerListing::State ScannerListing::Get() const {
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace dralmin
