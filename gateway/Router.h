#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "gateway/Endpoints.h"
#include "replies/OriginPolicy.h"
#include "replies/Request.h"

namespace dralmin {

// Chooses the endpoint of a request and frames every reply. Every reply to a page that `origins`
// allows has status 200: failures are told inside the body.
class Router final : public RequestHandler {
 public:
  explicit Router(Endpoints& endpoints, OriginPolicy origins = OriginPolicy())
      : endpoints_(endpoints), origins_(std::move(origins)) {}

  // The complete reply bytes: the preflight, or the fixed head followed by the routed body. A
  // request (preflights too) from a page that the policy does not allow gets kForbidden and
  // reaches no endpoint.
  std::string HandleRequest(const Request& request) override;
  void HandleRequestInto(const Request& request, std::string& reply) override;

  static constexpr std::string_view kForbidden =
      "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

  // The CORS preflight reply; the origin, when given, is echoed unchanged, and a private-network
  // request is allowed.
  static std::string SendPreflight(const Request& request);

  // The reply body of a non-preflight request.
  std::string Route(const Request& request);

  const std::string& scanKey() const { return scanKey_; }

 private:
  // True when the request may go on; reports the first refusal of each page origin.
  bool Admit(const Request& request);

  Endpoints& endpoints_;
  const OriginPolicy origins_;
  std::unordered_set<std::string> refusedOrigins_;  // already reported
  bool weightBusy_ = false;
  std::string scanKey_;
};

}  // namespace dralmin
