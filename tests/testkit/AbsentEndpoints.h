#pragma once

#include <string>

#include "gateway/Endpoints.h"
#include "replies/Jsonp.h"

namespace dralmin {

// Endpoints that give each device's absent answer: a base for tests, fuzz targets and benchmarks
// that replace only the endpoints they exercise. Header only, as fuzz builds have no test
// libraries.
class AbsentEndpoints : public Endpoints {
 public:
  std::string FingerprintEndpoint(const std::string&) override {
    return FingerprintError("Scanner not found. Code: 1");
  }
  std::string GetBarcode() override { return {}; }
  void StartScan(const std::string&) override {}
  std::string GetScan(const std::string&) override { return {}; }
  std::string PrintForm(const Request&) override { return {}; }
  std::string GetWeight() override { return std::string(kWeightCallback) + "{value: 0})"; }
  std::string GetIpWeight(const std::string&) override {
    return std::string(kWeightCallback) + "{value: 0})";
  }
};

}  // namespace dralmin
