#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "gateway/Endpoints.h"
#include "gateway/StatusPage.h"
#include "replies/OriginPolicy.h"
#include "replies/Request.h"

namespace dralmin {

// Chooses the endpoint of a request and frames every reply. Every reply to a page that `origins`
// allows has status 200: failures are told inside the body.
class Router final : public RequestHandler {
 public:
  explicit Router(Endpoints& endpoints, OriginPolicy origins = OriginPolicy(),
                  StatusPage status = {})
      : endpoints_(endpoints), origins_(std::move(origins)), status_(std::move(status)) {}

  // The complete reply bytes: the preflight, or the fixed head followed by the routed body. A
  // request (preflights too) from a page that the policy does not allow gets kForbidden and
  // reaches no endpoint. The status page (when configured) is answered apart, by its own rules.
  std::string HandleRequest(const Request& request) override;
  void HandleRequestInto(const Request& request, std::string& reply) override;
  // Refuses a page that the policy does not allow before its body is read.
  bool AdmitsHead(const Request& head, std::string& refusal) override;

  static constexpr std::string_view kForbidden =
      "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

  // The CORS preflight reply; the origin, when given, is echoed unchanged, and a private-network
  // request is allowed.
  static std::string SendPreflight(const Request& request);

  // The reply body of a non-preflight request.
  std::string Route(const Request& request);

  // The requests served per endpoint, and the refused page origins with their counts.
  StatusSection RequestCounts() const;
  StatusSection RefusedOrigins() const;

 private:
  // True when the request may go on; reports the first refusal of each page origin.
  bool Admit(const Request& request);
  // Counts the refusal of `who`; true the first time.
  bool CountRefusal(const std::string& who);
  std::string ServeStatus(const Request& request);
  bool IsStatusRequest(const Request& request) const;

  Endpoints& endpoints_;
  const OriginPolicy origins_;
  const StatusPage status_;
  // Refusals by who was refused, bounded; the rest are counted together.
  std::unordered_map<std::string, uint64_t> refusedOrigins_;
  uint64_t refusedOthers_ = 0;
  std::map<std::string_view, uint64_t> served_;  // by endpoint
  bool weightBusy_ = false;
};

}  // namespace dralmin
