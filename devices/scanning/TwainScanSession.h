#pragma once

#include <memory>

#include "devices/scanning/CTwain.h"
#include "devices/scanning/ScanSession.h"

namespace dralmin {

// The TWAIN manager behind the scanning-session interface; CTwain's behaviour unchanged.
class TwainScanSession final : public ScanSession {
 public:
  TwainScanSession(TwainOwner& owner, std::unique_ptr<SourceManagerLibrary> library)
      : twain_(owner, std::move(library)) {}

  bool Acquire() override { return twain_.Acquire(); }
  void SelectSource() override { twain_.SelectSource(); }
  bool WantsMessages() const override { return true; }
  void ProcessMessage(const PlatformMessage& message) override { twain_.ProcessMessage(message); }

 private:
  CTwain twain_;
};

}  // namespace dralmin
