#pragma once

#include "devices/fingerprint/FingerprintEndpoint.h"
#include "devices/fingerprint/SdkLibrary.h"
#include "devices/printing/PrintEndpoint.h"
#include "devices/scale/WeightEndpoint.h"
#include "gateway/Endpoints.h"
#include "platform/Environment.h"

namespace dralmin {

class PendingBarcode;

// The agent's endpoints: each routing row reaches its device here. Devices not yet present in
// the agent answer with their absent forms.
class DeviceEndpoints final : public Endpoints {
 public:
  explicit DeviceEndpoints(PendingBarcode& barcode) : barcode_(barcode) {}

  std::string FingerprintEndpoint(const std::string& id) override;
  std::string GetBarcode() override;
  void StartScan(const std::string& scanKey) override;
  std::string GetScan(const std::string& rest, const std::string& scanKey) override;
  std::string PrintForm(const Request& request) override;
  std::string GetWeight() override;
  std::string GetIpWeight(const std::string& address) override;

 private:
  PendingBarcode& barcode_;
  // The SDK library is loaded on the first fingerprint request, not here.
  ::dralmin::FingerprintEndpoint fingerprint_{
      LibrarySdkLoader(EnvOr("DRALMIN_FINGERPRINT_SDK", kDefaultSdkLibrary)), MonotonicSeconds};
  // The scale reader is created by the first "/weight" request, not here.
  std::unique_ptr<WeightEndpoint> weight_ = WeightEndpoint::FromEnvironment();
  PrintEndpoint print_;
  AbsentEndpoints absent_;
};

}  // namespace dralmin
