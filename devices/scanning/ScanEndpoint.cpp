#include "devices/scanning/ScanEndpoint.h"

#include "devices/scanning/ScanQueue.h"
#include "platform/HttpClient.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/ScopedFlag.h"
#include "replies/Jsonp.h"

namespace dralmin {
namespace {

// The receiving server's answer is read into 10240 bytes with room for the terminating zero.
constexpr std::size_t kAnswerLimit = 10239;

// Every request waits while a page goes out, so a receiver that stalls is given up on within
// seconds: a large page over a slow link still moves far more than 1 kB a second.
HttpTimeouts UploadTimeouts() {
  HttpTimeouts timeouts;
  timeouts.connect = std::chrono::seconds(3);
  timeouts.total = std::chrono::seconds(60);
  timeouts.lowSpeed = HttpLowSpeed{1024, std::chrono::seconds(10)};
  return timeouts;
}

// Several pages may each have their reason in one reply.
void AddError(std::string& errors, const std::string& error) {
  if (!errors.empty()) errors += "; ";
  errors += error;
}

bool IsScanKey(std::string_view key) {
  for (const char c : key) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '$') return false;
  }
  return true;
}

}  // namespace

ScanEndpoint::ScanEndpoint(ScanSessionProvider& sessions, ScanQueue& queue, HttpClient& http,
                           MessageBox& messages, Tick tick)
    : sessions_(sessions),
      queue_(queue),
      http_(http),
      messages_(messages),
      tick_(std::move(tick)) {}

void ScanEndpoint::StartScan(const std::string& key) {
  if (scanRunning_) return;
  ScopedFlag running(scanRunning_);
  queue_.DropExpired();
  ScanSession& session = sessions_.GetScanSession();
  const bool busy = session.Busy();
  const bool started = session.Acquire();
  // Only the poll thread starts scans, so a session busy before Acquire refused it for that
  // reason unless the scan under way ended in between and this one started.
  if (started || !busy) queue_.SetKey(key);
  if (!started) messages_.Show("Error start scan", "Error");
}

ScanEndpoint::Upload ScanEndpoint::UploadImage(const std::string& jpeg, const std::string& address,
                                               const std::string& field,
                                               const std::string& pageId) {
  const UploadAddress target = ParseUploadAddress(address);
  const std::string boundary = UploadBoundary(tick_());
  if (jpeg.empty()) {
    // A page whose conversion failed: there is nothing to send, now or later.
    messages_.Show("streamSize == 0", "Start upload error");
    return {Upload::Outcome::kTaken, {}};
  }
  if (target.host.empty()) return {Upload::Outcome::kNotSent, "no upload address"};
  const HttpResponse response = http_.Post(
      UploadUrl(target),
      {"Content-Type: multipart/form-data; boundary=" + boundary, "Idempotency-Key: " + pageId},
      BuildUploadBody(jpeg, field, boundary), UploadTimeouts(), kAnswerLimit);
  if (!response.transportOk) return {Upload::Outcome::kNotSent, "upload failed: " + response.error};
  const long status = response.status;
  // A redirect is how many servers answer a stored form post; the page is theirs either way.
  if (status >= 200 && status <= 399) {
    return {Upload::Outcome::kTaken, response.body.substr(0, response.body.find('\0'))};
  }
  // A timeout, too many requests or the server's own trouble may pass; other 4xx will not.
  const bool later = status >= 500 || status == 408 || status == 429 || status < 400;
  return {later ? Upload::Outcome::kNotSent : Upload::Outcome::kRefused,
          "upload refused with HTTP status " + std::to_string(status)};
}

std::string ScanEndpoint::GetScan(const std::string& rest) {
  const ScanRequest request = ParseScanRequest(rest);
  // The key becomes part of the callback's name.
  if (!IsScanKey(request.key)) {
    LogError("scanning", "/getscan/ refused: the key may hold only ASCII letters, digits, _ and $");
    return {};
  }
  // The field name goes into the part's head between quotes.
  if (const std::string why = FieldNameRefusal(request.field); !why.empty()) {
    LogError("scanning", "/getscan/ refused: " + why);
    return {};
  }
  if (const std::string why = ParseUploadAddress(request.address).refusal; !why.empty()) {
    LogError("scanning",
             "/getscan/ refused: upload address " + AddressForLog(request.address) + ": " + why);
    return {};
  }
  const std::string scanKey = queue_.Key();
  if (request.key != scanKey || getScanBusy_) return {};
  queue_.DropExpired();
  if (queue_.Empty()) return {};
  ScopedFlag busy(getScanBusy_);

  std::string ids;
  std::string error;
  UploadQueued(request, ids, error);

  std::string body = "DralminScan__callback_" + scanKey + "({ids:'" + ids + "'";
  if (!error.empty()) {
    body += ", error:'";
    AppendJsString(body, error);
    body += "'";
  }
  body += "})";
  return body;
}

void ScanEndpoint::UploadQueued(const ScanRequest& request, std::string& ids, std::string& error) {
  // The pages of a run go to one server, one after another, over one connection.
  const HttpKeepAlive connection = http_.KeepConnection();
  // Pages queued while the run goes on are uploaded in the same run.
  while (std::optional<QueuedPage> page = queue_.Front()) {
    PageRead read = queue_.Read(*page);
    if (read.outcome == PageRead::Outcome::kDamaged || read.outcome == PageRead::Outcome::kGone) {
      // Out of the queue with its own line; the pages after it still go.
      AddError(error, "page " + page->Id() + " was not sent: " + read.why);
      continue;
    }
    if (read.outcome == PageRead::Outcome::kUnreadable) {
      // Out of descriptors, or the disk failing: the page is as good as it was, so it waits.
      AddError(error,
               "page " + page->Id() + " could not be read (" + read.why + "); it stays queued");
      LogError("scanning", "upload to " + AddressForLog(request.address) + " stopped: page " +
                               page->Id() + " could not be read (" + read.why +
                               "); it and the pages after it stay queued");
      break;
    }
    // The file name stays the same however often the page is sent, across restarts too.
    Upload upload = UploadImage(read.bytes, request.address, request.field, page->Id());
    if (upload.outcome == Upload::Outcome::kNotSent) {
      LogError("scanning", "upload to " + AddressForLog(request.address) + ": " + upload.text);
      AddError(error, std::move(upload.text));
      break;
    }
    // Taken or refused for good: either way it is not sent again.
    queue_.Remove(*page);
    if (upload.outcome == Upload::Outcome::kRefused) {
      // Deleted: sending it again would only stop every later run at the same place. Its
      // identifier is the Idempotency-Key the receiver logged.
      const std::string why = "page " + page->Id() + ": " + upload.text + "; it was deleted";
      LogError("scanning", "upload to " + AddressForLog(request.address) + ": " + why);
      AddError(error, why);
      break;
    }
    if (!ids.empty()) ids += ',';
    AppendJsString(ids, upload.text);
  }
}

}  // namespace dralmin
