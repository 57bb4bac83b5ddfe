#include "gateway/Endpoints.h"

#include "gateway/Jsonp.h"

namespace dralmin {

std::string AbsentEndpoints::FingerprintEndpoint(const std::string&) {
  return FingerprintError("Scanner not found. Code: 1");
}

std::string AbsentEndpoints::GetBarcode() {
  return {};
}

void AbsentEndpoints::StartScan(const std::string&) {}

std::string AbsentEndpoints::GetScan(const std::string&, const std::string&) {
  return {};
}

std::string AbsentEndpoints::PrintForm(const Request&) {
  return {};
}

std::string AbsentEndpoints::GetWeight() {
  return std::string(kWeightCallback) + "{value: 0})";
}

std::string AbsentEndpoints::GetIpWeight(const std::string&) {
  return std::string(kWeightCallback) + "{value: 0})";
}

}  // namespace dralmin
