#include "gateway/Router.h"

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
  // Bounded, as any program on the workstation may send made-up origins.
  if (refusedOrigins_.size() < kMaxReportedOrigins && refusedOrigins_.insert(who).second) {
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
  if (!Admit(request)) {
    reply.assign(kForbidden);
    return;
  }
  if (IsPreflight(request.method)) {
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
    return endpoints_.FingerprintEndpoint(id);
  }
  if (path == "/barcode") return endpoints_.GetBarcode();
  if (path.starts_with("/scan/")) {
    scanKey_ = after(6);
    endpoints_.StartScan(scanKey_);
    return {};
  }
  if (path.starts_with("/getscan/")) return endpoints_.GetScan(after(9), scanKey_);
  if (path.starts_with("/print") && method.starts_with("POST")) {
    return endpoints_.PrintForm(request);
  }
  if (path.starts_with("/weight") && method.starts_with("GET")) {
    if (weightBusy_) return std::string(kWeightCallback) + "{value: -.001})";
    ScopedFlag busy(weightBusy_);
    return endpoints_.GetWeight();
  }
  if (path.starts_with("/ip_weight/") && method.starts_with("GET")) {
    return endpoints_.GetIpWeight(after(11));
  }
  return endpoints_.FingerprintEndpoint(std::string());
}

}  // namespace dralmin
