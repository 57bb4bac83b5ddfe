#include "devices/scanning/ScanEndpoint.h"

#include "devices/scanning/ScanQueue.h"
#include "gateway/Jsonp.h"
#include "platform/HttpClient.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

// The receiving server's answer is read into 10240 bytes with room for the terminating zero.
constexpr std::size_t kAnswerLimit = 10239;

class Flag {
 public:
  explicit Flag(bool& flag) : flag_(flag) { flag_ = true; }
  ~Flag() { flag_ = false; }
  Flag(const Flag&) = delete;
  Flag& operator=(const Flag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

ScanEndpoint::ScanEndpoint(ScanSessionProvider& sessions, ScanQueue& queue, HttpClient& http,
                           MessageBox& messages, Tick tick)
    : sessions_(sessions),
      queue_(queue),
      http_(http),
      messages_(messages),
      tick_(std::move(tick)) {}

void ScanEndpoint::StartScan() {
  if (scanRunning_) return;
  Flag running(scanRunning_);
  if (!sessions_.GetScanSession().Acquire()) messages_.Show("Error start scan", "Error");
}

std::optional<std::string> ScanEndpoint::UploadImage(const std::string& jpeg,
                                                     const std::string& address,
                                                     const std::string& field, std::string& error) {
  const UploadAddress target = ParseUploadAddress(address);
  const std::string boundary = UploadBoundary(tick_());
  if (jpeg.empty()) {
    // A page whose conversion failed: there is nothing to send, now or later.
    messages_.Show("streamSize == 0", "Start upload error");
    return std::string();
  }
  if (target.host.empty()) {
    error = "no upload address";
    return std::nullopt;
  }
  HttpTimeouts timeouts;
  timeouts.connect = std::chrono::seconds(5);
  timeouts.total = std::chrono::seconds(120);  // a large page over a slow link
  const HttpResponse response =
      http_.Post(UploadUrl(target), {"Content-Type: multipart/form-data; boundary=" + boundary},
                 BuildUploadBody(jpeg, field, boundary), timeouts, kAnswerLimit);
  if (!response.transportOk) {
    error = "upload failed: " + response.error;
    return std::nullopt;
  }
  if (response.status < 200 || response.status > 299) {
    error = "upload refused with HTTP status " + std::to_string(response.status);
    return std::nullopt;
  }
  return response.body.substr(0, response.body.find('\0'));
}

std::string ScanEndpoint::GetScan(const std::string& rest, const std::string& scanKey) {
  const ScanRequest request = ParseScanRequest(rest);
  if (request.key != scanKey || queue_.Empty() || getScanBusy_) return {};
  Flag busy(getScanBusy_);

  std::string ids;
  std::string error;
  // Pages queued while the run goes on are uploaded in the same run.
  while (std::optional<std::string> page = queue_.TakeFront()) {
    std::optional<std::string> id = UploadImage(*page, request.address, request.field, error);
    if (!id) {
      queue_.ReturnFront(std::move(*page));
      break;
    }
    if (!ids.empty()) ids += ',';
    AppendJsString(ids, *id);
  }

  std::string body = "DralminScan__callback_" + scanKey + "({ids:'" + ids + "'";
  if (!error.empty()) {
    body += ", error:'";
    AppendJsString(body, error);
    body += "'";
  }
  body += "})";
  return body;
}

}  // namespace dralmin
