#pragma once

#include <string>
#include <string_view>

#include "replies/Request.h"

namespace dralmin {

// The device operations the router calls, one per route. Each returns the complete reply
// body (StartScan's reply is always empty). All run on the gateway's poll thread, one at a time.
class Endpoints {
 public:
  virtual ~Endpoints() = default;

  virtual std::string FingerprintEndpoint(const std::string& id) = 0;
  virtual std::string GetBarcode() = 0;
  // `scanKey` is the decoded path after "/scan/".
  virtual void StartScan(const std::string& scanKey) = 0;
  // `rest` is the decoded path after "/getscan/".
  virtual std::string GetScan(const std::string& rest) = 0;
  virtual std::string PrintForm(const Request& request) = 0;
  virtual std::string GetWeight() = 0;
  virtual std::string GetIpWeight(const std::string& address) = 0;
};

}  // namespace dralmin
