#include "app/DeviceEndpoints.h"

#include "devices/barcode/PendingBarcode.h"

namespace dralmin {

std::string DeviceEndpoints::FingerprintEndpoint(const std::string& id) {
  return fingerprint_.Handle(id);
}

std::string DeviceEndpoints::GetBarcode() {
  return barcode_.GetBarcode();
}

void DeviceEndpoints::StartScan(const std::string&) {
  scan_.StartScan();
}

std::string DeviceEndpoints::GetScan(const std::string& rest, const std::string& scanKey) {
  return scan_.GetScan(rest, scanKey);
}

std::string DeviceEndpoints::PrintForm(const Request& request) {
  return print_.PrintForm(request);
}

std::string DeviceEndpoints::GetWeight() {
  return weight_->GetWeight();
}

std::string DeviceEndpoints::GetIpWeight(const std::string& address) {
  return weight_->GetIpWeight(address);
}

}  // namespace dralmin
