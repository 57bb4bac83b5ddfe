#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace dralmin {

struct DownloadLimits {
  std::chrono::milliseconds connect{10000};
  std::chrono::milliseconds total{120000};
  // A transfer slower than one byte a second for this long is given up.
  std::chrono::milliseconds stalled{30000};
  // When set, the transfer is given up within a fraction of a second once it is true.
  const std::atomic<bool>* cancelled = nullptr;
};

// Fetches an http or https URL into `path`: the content goes to a temporary file beside it, which
// replaces `path` only once the whole answer has arrived with a status below 400. False, with
// `error` set for developers, otherwise; `path` is then untouched.
bool DownloadFile(const std::string& url, const std::string& path, const DownloadLimits& limits,
                  std::string* error = nullptr);

}  // namespace dralmin
