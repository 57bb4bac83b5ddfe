#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace dralmin {

// What the scanning backend last listed, for the status page. The session records each listing
// it makes for its own reasons (a scan, the scanner choice); nothing lists for the page, since a
// listing can take seconds (SANE's network backends) or belong to one thread (TWAIN on Windows).
// Any thread.
class ScannerListing {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  struct State {
    std::string backend;  // the backend in use ("SANE", "TWAIN"); empty until decided
    std::optional<std::vector<std::string>> scanners;  // none: not listed yet
    std::chrono::system_clock::time_point listed;      // when `scanners` was listed
  };

  explicit ScannerListing(Clock clock = &std::chrono::system_clock::now)
      : clock_(std::move(clock)) {}

  void SetBackend(std::string backend);

  // A listing's outcome, empty when it found no scanner (or failed: the session said why). The
  // first listing that finds none after one that found some, or after none at all, leaves one
  // log line.
  void Record(std::vector<std::string> scanners);

  State Get() const;

  // The warning of a listing that found no scanner, for the log and the status page.
  static std::string NoScannerWarning(const std::string& backend);

 private:
  Clock clock_;
  mutable std::mutex mutex_;
  State state_;
};

}  // namespace dralmin
