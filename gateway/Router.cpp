#include "gateway/Router.h"

#include <algorithm>
#include <charconv>

#include "DralminVersion.h"
#include "platform/Log.h"
#include "platform/ScopedFlag.h"
#include "replies/Jsonp.h"
#include "replies/PercentDecode.h"

namespace dralmin {
namespace {

constexpr std::string_view kReplyHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\nContent-Length: ";

// Distinct refused origins reported on standard error; the rest are refused silently.
constexpr size_t kMaxReportedOrigins = 100;

// A method "is" OPTIONS when it equals as many leading characters of it as it has.
bool IsPreflight(std::string_view method) {
  constexpr std::string_view kOptions = "OPTIONS";
  return method.size() <= kOptions.size() && kOptions.starts_with(method);
}

// Browsers ask with exactly "true"; any other value asks for nothing.
bool AsksForPrivateNetwork(const Request& request) {
  return request.privateNetworkRequest == std::string_view("true");
}

}  // namespace

bool Router::CountRefusal(const std::string& who) {
  if (const auto found = refusedOrigins_.find(who); found != refusedOrigins_.end()) {
    ++found->second;
    return false;
  }
  // Bounded, as any program on the workstation may send made-up origins.
  if (refusedOrigins_.size() >= kMaxReportedOrigins) {
    ++refusedOthers_;
    return false;
  }
  refusedOrigins_.emplace(who, 1);
  return true;
}

StatusSection Router::RequestCounts() const {
  StatusSection section{"requests", "Запросы", "Requests", {}};
  for (const auto& [endpoint, count] : served_) {
    section.rows.push_back({std::string(endpoint), std::to_string(count), {}});
  }
  return section;
}

StatusSection Router::RefusedOrigins() const {
  StatusSection section{"refused", "Отказано", "Refused", {}};
  for (const auto& [who, count] : refusedOrigins_) {
    section.rows.push_back({who, std::to_string(count), {}});
  }
  std::sort(section.rows.begin(), section.rows.end(),
            [](const StatusRow& a, const StatusRow& b) { return a.name < b.name; });
  if (refusedOthers_ > 0) {
    section.rows.push_back({"others", std::to_string(refusedOthers_), {}});
  }
  return section;
}

std::string Router::ServeStatus(const Request& request) {
  if (!StatusRequestAllowed(request, status_.selfOrigins)) {
    const std::optional<std::string> origin = OriginPolicy::PageOrigin(request);
    const bool ownHost = StatusHostAllowed(request, status_.selfOrigins);
    const std::string who =
        "status page for " + (origin    ? *origin
                              : ownHost ? std::string("another site")
                                        : std::string("a request to another host name"));
    if (CountRefusal(who)) {
      LogWarning("gateway", "refused the " + who +
                                ": only a navigation by the user to the agent's own loopback "
                                "address (127.0.0.1, [::1], localhost and its port) may read it");
    }
    return std::string(StatusRefusal());
  }
  ++served_[kStatusPath];
  StatusReport report = status_.collect();
  report.sections.push_back(RefusedOrigins());
  report.sections.push_back(RequestCounts());
  return StatusReply(request, report);
}

bool Router::IsStatusRequest(const Request& request) const {
  return status_.collect && PercentDecode(request.uri) == kStatusPath;
}

bool Router::Admit(const Request& request) {
  if (origins_.AllowsEveryPage()) return true;
  const std::optional<std::string> origin = OriginPolicy::PageOrigin(request);
  if (origins_.Allows(origin)) return true;

  // Who was refused, as the administrator will look for it; a header that names no origin is
  // quoted (cut short), since browsers send only a few such values ("null").
  std::string who;
  if (origin) {
    who = "the page origin " + *origin;
  } else if (request.origin) {
    who = "pages with \"Origin: " + std::string(request.origin->substr(0, 100)) + "\"";
  } else if (request.referer) {
    who = "pages whose Referer names no origin";
  } else {
    who = "requests with neither Origin nor Referer";
  }
  if (CountRefusal(who)) {
    LogWarning("gateway", "refused " + who + ": allowed_origins does not list it" +
                              (refusedOrigins_.size() == kMaxReportedOrigins
                                   ? " (further refused origins are not reported)"
                                   : ""));
  }
  return false;
}

std::string Router::HandleRequest(const Request& request) {
  std::string reply;
  HandleRequestInto(request, reply);
  return reply;
}

void Router::HandleRequestInto(const Request& request, std::string& reply) {
  // A navigation needs no allowed origin: the page serves where the devices are still refused.
  if (IsStatusRequest(request)) {
    reply = ServeStatus(request);
    return;
  }
  if (!Admit(request)) {
    ++served_["refused"];
    reply.assign(kForbidden);
    return;
  }
  if (IsPreflight(request.method)) {
    ++served_["preflight"];
    reply = SendPreflight(request);
    return;
  }

  const std::string body = Route(request);
  char length[16];
  const auto end = std::to_chars(length, length + sizeof length, body.size()).ptr;

  reply.clear();
  reply.reserve(kReplyHead.size() + sizeof length + 4 + body.size());
  reply += kReplyHead;
  reply.append(length, end);
  reply += "\r\n\r\n";
  reply += body;
}

bool Router::AdmitsHead(const Request& head, std::string& refusal) {
  if (IsStatusRequest(head)) {
    // The page's own rules, not the allowed origins; a refusal is counted and sent at once.
    if (StatusRequestAllowed(head, status_.selfOrigins)) return true;
    refusal = ServeStatus(head);
    return false;
  }
  if (Admit(head)) return true;
  refusal.assign(kForbidden);
  return false;
}

std::string Router::SendPreflight(const Request& request) {
  std::string reply =
      "HTTP/1.1 200 OK\r\n"
      "Server: DralminTrayAgent/" DRALMIN_VERSION
      "\r\n"
      "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
      "Access-Control-Max-Age: 600\r\n";
  if (request.origin) {
    reply += "Access-Control-Allow-Origin: ";
    reply += *request.origin;
    reply += "\r\n";
  }
  if (AsksForPrivateNetwork(request)) reply += "Access-Control-Allow-Private-Network: true\r\n";
  reply += "Content-Length: 0\r\n\r\n";
  return reply;
}

std::string Router::Route(const Request& request) {
  const std::string path = PercentDecode(request.uri);
  const std::string_view method = request.method;
  const auto after = [&path](size_t prefix) { return path.substr(prefix); };

  if (path.starts_with("/finger/")) {
    std::string id = after(8);
    // A "?" past the first character cuts the id before its first "?"; a lone leading "?" stays.
    if (id.find('?', 1) != std::string::npos) id.resize(id.find('?'));
    ++served_["/finger/"];
    return endpoints_.FingerprintEndpoint(id);
  }
  if (path == "/barcode") {
    ++served_["/barcode"];
    return endpoints_.GetBarcode();
  }
  if (path.starts_with("/scan/")) {
    ++served_["/scan/"];
    endpoints_.StartScan(after(6));
    return {};
  }
  if (path.starts_with("/getscan/")) {
    ++served_["/getscan/"];
    return endpoints_.GetScan(after(9));
  }
  if (path.starts_with("/print") && method.starts_with("POST")) {
    ++served_["/print"];
    return endpoints_.PrintForm(request);
  }
  if (path.starts_with("/weight") && method.starts_with("GET")) {
    ++served_["/weight"];
    if (weightBusy_) return std::string(kWeightCallback) + "{value: -.001})";
    ScopedFlag busy(weightBusy_);
    return endpoints_.GetWeight();
  }
  if (path.starts_with("/ip_weight/") && method.starts_with("GET")) {
    ++served_["/ip_weight/"];
    return endpoints_.GetIpWeight(after(11));
  }
  ++served_["other"];
  return endpoints_.FingerprintEndpoint(std::string());
}

}  // namespace dralmin
