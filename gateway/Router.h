#pragma once

#include <string>
#include <string_view>

#include "gateway/Endpoints.h"
#include "gateway/Request.h"

namespace dralmin {

// Chooses the endpoint of a request and frames every reply. Every reply has status 200: failures
// are told inside the body.
class Router final : public RequestHandler {
 public:
  explicit Router(Endpoints& endpoints) : endpoints_(endpoints) {}

  // The complete reply bytes: the preflight, or the fixed head followed by the routed body.
  std::string HandleRequest(const Request& request) override;

  // The CORS preflight reply; the origin, when given, is echoed unchanged, and a private-network
  // request is allowed.
  static std::string SendPreflight(const Request& request);

  // The reply body of a non-preflight request.
  std::string Route(const Request& request);

  const std::string& scanKey() const { return scanKey_; }

 private:
  Endpoints& endpoints_;
  bool weightBusy_ = false;
  std::string scanKey_;
};

}  // namespace dralmin
