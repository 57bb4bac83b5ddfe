#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dralmin {

struct HttpTimeouts {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds total{5000};
};

struct HttpResponse {
  bool transportOk = false;  // a complete HTTP answer arrived (whatever its status)
  long status = 0;           // the HTTP status, when transportOk
  std::string body;          // at most the requested number of leading bytes
  std::string error;         // why the transport failed, for developers
};

// A blocking HTTP client, called on the thread that needs the answer. No caching, no proxies
// from the environment, redirects not followed.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  virtual HttpResponse Get(const std::string& url, const HttpTimeouts& timeouts,
                           std::size_t maxBody) = 0;

  // One POST of `body` with the given extra header lines (e.g. "Content-Type: ...").
  virtual HttpResponse Post(const std::string& url, const std::vector<std::string>& headers,
                            std::string_view body, const HttpTimeouts& timeouts,
                            std::size_t maxBody) = 0;
};

// libcurl's easy interface.
class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient();
  HttpResponse Get(const std::string& url, const HttpTimeouts& timeouts,
                   std::size_t maxBody) override;
  HttpResponse Post(const std::string& url, const std::vector<std::string>& headers,
                    std::string_view body, const HttpTimeouts& timeouts,
                    std::size_t maxBody) override;
};

}  // namespace dralmin
