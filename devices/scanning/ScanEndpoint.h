#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "devices/scanning/ScanSession.h"
#include "devices/scanning/ScanUpload.h"

namespace dralmin {

class HttpClient;
class MessageBox;
class ScanQueue;

// "/scan/" and "/getscan/": starts the scanner's own window, and later posts every queued page to
// the address the page names. Runs on the gateway's poll thread.
class ScanEndpoint {
 public:
  using Tick = std::function<int32_t()>;

  ScanEndpoint(ScanSessionProvider& sessions, ScanQueue& queue, HttpClient& http,
               MessageBox& messages, Tick tick = &SystemTick);

  // Starts the scanner (its own window, or the scan dialog) and makes `key` the scan key; a
  // failure is told to the user, never to the page. A start refused because a scan is under way
  // keeps that scan's key, so its pages still go to its page.
  void StartScan(const std::string& key);

  // Uploads the queued pages when the key is the scan key. The reply names the identifiers
  // the receiving server answered. A page the server refused for good leaves the queue and stops
  // the run; a page that did not arrive, or that could not be read now, stops it too but stays,
  // with the ones after it, for the next request; a damaged page is set aside and the run goes
  // on. The reply then tells why, naming each page by its identifier.
  std::string GetScan(const std::string& rest);

  struct Upload {
    enum class Outcome {
      kTaken,    // the server took the page (2xx or 3xx); `text` is its identifier
      kRefused,  // a 4xx other than 408 and 429: the server will never take this page
      kNotSent,  // no answer, 5xx, 408 or 429: worth trying again later
    };
    Outcome outcome = Outcome::kNotSent;
    std::string text;  // the identifier when taken, otherwise why not
  };

  // Posts one page (redirects are answers, not followed). `pageId` goes in the Idempotency-Key
  // header, so that a receiver knows a page sent again (after a crash before its removal).
  Upload UploadImage(const std::string& jpeg, const std::string& address, const std::string& field,
                     const std::string& pageId);

 private:
  // Uploads the queued pages in their order until one stops the run; appends the identifiers
  // the receiver answered to `ids` and the reasons of what was not sent to `error`.
  void UploadQueued(const ScanRequest& request, std::string& ids, std::string& error);

  ScanSessionProvider& sessions_;
  ScanQueue& queue_;
  HttpClient& http_;
  MessageBox& messages_;
  Tick tick_;
  bool scanRunning_ = false;
  bool getScanBusy_ = false;
};

}  // namespace dralmin
