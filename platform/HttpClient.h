#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dralmin {

// A transfer that moves fewer than `bytesPerSecond` (either way) for `time` ends as failed.
struct HttpLowSpeed {
  long bytesPerSecond = 0;
  std::chrono::seconds time{0};
};

struct HttpTimeouts {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds total{5000};
  // For a peer that keeps its page open (or promises more than it sends): once body bytes have
  // come, the answer ends when none follows for this long or when the requested number of bytes
  // is in, and what arrived is the answer. Unset: the body is read to its end.
  std::optional<std::chrono::milliseconds> quietAfterBody;
  // For long transfers, whose total has to be generous: a stalled peer ends them early.
  std::optional<HttpLowSpeed> lowSpeed;
};

struct HttpResponse {
  bool transportOk = false;  // a complete HTTP answer arrived (whatever its status)
  long status = 0;           // the HTTP status, when transportOk
  std::string body;          // at most the requested number of leading bytes
  std::string error;         // why the transport failed, for developers
};

// Held by a caller around a series of calls to one server: while a holder lives, the calls reuse
// the connection the server left open (keep-alive) instead of opening one each; it closes when the
// last holder lets go.
using HttpKeepAlive = std::shared_ptr<void>;

// A blocking HTTP client, called on the thread that needs the answer. No caching, no proxies
// from the environment. A GET follows up to 5 redirects, to http and https only; a POST follows
// none, as its body would be sent again to wherever the first peer points.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  virtual HttpResponse Get(const std::string& url, const HttpTimeouts& timeouts,
                           std::size_t maxBody) = 0;

  // One POST of `body` with the given extra header lines (e.g. "Content-Type: ...").
  virtual HttpResponse Post(const std::string& url, const std::vector<std::string>& headers,
                            std::string_view body, const HttpTimeouts& timeouts,
                            std::size_t maxBody) = 0;

  // A client that opens no connections of its own has nothing to keep.
  virtual HttpKeepAlive KeepConnection() { return {}; }
};

// libcurl's easy interface.
class CurlHttpClient final : public HttpClient {
 public:
  // A transfer in progress ends within a fraction of a second once `*cancelled` is true (the
  // agent is stopping); it then fails with the reason "cancelled".
  explicit CurlHttpClient(const std::atomic<bool>* cancelled = nullptr);
  HttpResponse Get(const std::string& url, const HttpTimeouts& timeouts,
                   std::size_t maxBody) override;
  HttpResponse Post(const std::string& url, const std::vector<std::string>& headers,
                    std::string_view body, const HttpTimeouts& timeouts,
                    std::size_t maxBody) override;
  // A call made while another thread's call holds the kept connection takes a fresh one.
  HttpKeepAlive KeepConnection() override;

 private:
  struct Handles;
  class Lease;
  Lease Acquire();

  const std::atomic<bool>* cancelled_;
  std::mutex keptMutex_;
  std::weak_ptr<Handles> kept_;
};

}  // namespace dralmin
