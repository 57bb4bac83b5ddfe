#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

  // Starts the scanner (its own window, or the scan dialog); a failure is told to the user, never
  // to the page.
  void StartScan();

  // Uploads the queued pages when the key is the last scan's. The reply names the identifiers
  // the receiving server answered; a failed upload stops the run and keeps that page and the
  // ones after it for the next request, and the reply then tells why.
  std::string GetScan(const std::string& rest, const std::string& scanKey);

  // Posts one page; the server's answer (its identifier for the page), or nullopt with `error`
  // set when the page did not arrive.
  std::optional<std::string> UploadImage(const std::string& jpeg, const std::string& address,
                                         const std::string& field, std::string& error);

 private:
  ScanSessionProvider& sessions_;
  ScanQueue& queue_;
  HttpClient& http_;
  MessageBox& messages_;
  Tick tick_;
  bool scanRunning_ = false;
  bool getScanBusy_ = false;
};

}  // namespace dralmin
