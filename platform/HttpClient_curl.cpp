#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "platform/CurlTransfer.h"
#include "platform/HttpClient.h"

namespace dralmin {
namespace {

using Clock = std::chrono::steady_clock;

struct Sink {
  std::string* body;
  std::size_t limit;
  bool endAtLimit;  // the answer is complete once `limit` bytes are in
  Clock::time_point lastBytes{};
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  const size_t room = sink->limit - std::min(sink->limit, sink->body->size());
  sink->body->append(data, std::min(room, bytes));
  if (bytes > 0) sink->lastBytes = Clock::now();
  if (sink->endAtLimit && sink->body->size() >= sink->limit) return 0;  // ends the transfer
  return bytes;  // the rest is read and dropped, so the transfer still completes
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

HttpResponse Perform(CURLM* multi, CURL* easy, const HttpTimeouts& timeouts, std::size_t maxBody,
                     const std::atomic<bool>* cancelled) {
  HttpResponse response;
  const bool quietEnds = timeouts.quietAfterBody.has_value();
  Sink sink{&response.body, maxBody, quietEnds};
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()));
  if (timeouts.lowSpeed) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, timeouts.lowSpeed->bytesPerSecond);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(timeouts.lowSpeed->time.count()));
  }
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);

  bool wasCancelled = false;
  const auto stop = [&] {
    if (cancelled != nullptr && cancelled->load()) return wasCancelled = true;
    return quietEnds && !response.body.empty() &&
           Clock::now() - sink.lastBytes >= *timeouts.quietAfterBody;
  };
  const CURLcode code = PerformTransfer(multi, easy, stop);
  // A body that stopped at its limit or went quiet is what the peer has to say.
  const bool endedEarly = quietEnds && !wasCancelled && !response.body.empty() &&
                          (code == CURLE_WRITE_ERROR || code == CURLE_ABORTED_BY_CALLBACK ||
                           code == CURLE_OPERATION_TIMEDOUT || code == CURLE_PARTIAL_FILE);
  if (code != CURLE_OK && !endedEarly) {
    if (wasCancelled) {
      response.error = "cancelled";
    } else {
      response.error = error[0] != '\0' ? error : curl_easy_strerror(code);
    }
    return response;
  }
  response.transportOk = true;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace

// The multi handle holds the connection cache, so a connection outlives one transfer only as long
// as the multi handle does.
struct CurlHttpClient::Handles {
  std::unique_ptr<CURLM, MultiDeleter> multi{curl_multi_init()};
  std::unique_ptr<CURL, EasyDeleter> easy{curl_easy_init()};
  std::mutex busy;  // one transfer at a time
};

// The handles of one call: the kept ones when they are free, otherwise its own for this call.
class CurlHttpClient::Lease {
 public:
  Lease(std::shared_ptr<Handles> handles, std::unique_lock<std::mutex> busy)
      : handles_(std::move(handles)), busy_(std::move(busy)) {}
  bool ok() const { return handles_->multi && handles_->easy; }
  CURLM* multi() const { return handles_->multi.get(); }
  CURL* easy() const { return handles_->easy.get(); }

 private:
  std::shared_ptr<Handles> handles_;
  std::unique_lock<std::mutex> busy_;  // released before the handles may go
};

CurlHttpClient::Lease CurlHttpClient::Acquire() {
  std::shared_ptr<Handles> kept;
  {
    const std::lock_guard lock(keptMutex_);
    kept = kept_.lock();
  }
  if (kept) {
    std::unique_lock busy(kept->busy, std::try_to_lock);
    if (busy.owns_lock()) {
      // Options of the previous call go; its connection stays in the cache.
      if (kept->easy) curl_easy_reset(kept->easy.get());
      return Lease(std::move(kept), std::move(busy));
    }
  }
  return Lease(std::make_shared<Handles>(), {});
}

HttpKeepAlive CurlHttpClient::KeepConnection() {
  const std::lock_guard lock(keptMutex_);
  std::shared_ptr<Handles> kept = kept_.lock();
  if (!kept) {
    kept = std::make_shared<Handles>();
    kept_ = kept;
  }
  return kept;
}

CurlHttpClient::CurlHttpClient(const std::atomic<bool>* cancelled) : cancelled_(cancelled) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpResponse CurlHttpClient::Get(const std::string& url, const HttpTimeouts& timeouts,
                                 std::size_t maxBody) {
  const Lease lease = Acquire();
  if (!lease.ok()) return HttpResponse{false, 0, {}, "curl_easy_init failed"};
  CURL* easy = lease.easy();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  return Perform(lease.multi(), easy, timeouts, maxBody, cancelled_);
}

HttpResponse CurlHttpClient::Post(const std::string& url, const std::vector<std::string>& headers,
                                  std::string_view body, const HttpTimeouts& timeouts,
                                  std::size_t maxBody) {
  const Lease lease = Acquire();
  if (!lease.ok()) return HttpResponse{false, 0, {}, "curl_easy_init failed"};
  CURL* easy = lease.easy();
  std::unique_ptr<curl_slist, ListDeleter> list;
  for (const std::string& header : headers) {
    list.reset(curl_slist_append(list.release(), header.c_str()));
  }
  // The receiver gets the body at once, not after a 100-continue round trip.
  list.reset(curl_slist_append(list.release(), "Expect:"));
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list.get());
  return Perform(lease.multi(), easy, timeouts, maxBody, cancelled_);
}

}  // namespace dralmin
