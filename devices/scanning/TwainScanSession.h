#pragma once

#include <memory>

#include "devices/scanning/CTwain.h"
#include "devices/scanning/ScanSession.h"
#include "devices/scanning/ScannerListing.h"

namespace dralmin {

// The TWAIN manager behind the scanning-session interface; CTwain's behaviour unchanged. Each
// scan and scanner choice first lists the sources into `listing` (when given), on the thread
// that calls them, which is the one the manager belongs to.
class TwainScanSession final : public ScanSession {
 public:
  TwainScanSession(TwainOwner& owner, std::unique_ptr<SourceManagerLibrary> library,
                   ScannerListing* listing = nullptr)
      : twain_(owner, std::move(library)), listing_(listing) {}

  bool Acquire() override {
    List();
    return twain_.Acquire();
  }
  void SelectSource() override {
    List();
    twain_.SelectSource();
  }
  bool Busy() const override { return twain_.Transferring(); }
  bool WantsMessages() const override { return true; }
  void ProcessMessage(const PlatformMessage& message) override { twain_.ProcessMessage(message); }

 private:
  void List() {
    if (listing_ == nullptr) return;
    if (std::optional<std::vector<std::string>> names = twain_.ListSources()) {
      listing_->Record(std::move(*names));
    }
  }

  CTwain twain_;
  ScannerListing* listing_;
};

}  // namespace dralmin
