#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// One parsed request as the network layer hands it over. The views point into the connection's
// buffers and stay valid until the reply has been produced.
struct Request {
  std::string_view method;  // the method text as sent, e.g. "GET" or "OPT"
  std::string_view uri;     // the path, percent-escapes not decoded, without the query string
  std::string_view body;
  std::optional<std::string_view> origin;       // the "Origin" header, when present
  std::optional<std::string_view> contentType;  // the "Content-Type" header, when present
  // The "Access-Control-Request-Private-Network" header, when present: a browser asking whether a
  // public page may reach this local address.
  std::optional<std::string_view> privateNetworkRequest;
  std::optional<std::string_view> referer;  // the "Referer" header, when present
  std::optional<std::string_view> host;     // the "Host" header, when present
  std::optional<std::string_view> accept;   // the "Accept" header, when present
  // The "Sec-Fetch-Site" header a browser sends: "none" for a navigation typed or opened by the
  // user, "same-origin", "same-site" or "cross-site" for one a page started.
  std::optional<std::string_view> fetchSite;
};

// Produces the complete reply bytes for one request. Called on the gateway's poll thread only.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual std::string HandleRequest(const Request& request) = 0;

  // The same reply written over `reply`, a buffer the caller keeps from request to request, so
  // that a reply which fits it costs no allocation. By default HandleRequest's result moved in.
  virtual void HandleRequestInto(const Request& request, std::string& reply) {
    reply = HandleRequest(request);
  }

  // Called as soon as a request's head has arrived, before any of its body is read (`head.body`
  // is empty): false, with the reply in `refusal`, for a request refused whatever its body holds.
  virtual bool AdmitsHead(const Request& head, std::string& refusal) {
    (void)head;
    (void)refusal;
    return true;
  }
};

}  // namespace dralmin
