// A whole request through the router, with the real print, weight and scan-upload endpoints
// behind fakes of their devices. The input reads like a request:
//   METHOD SP URI LF {Name: value LF} LF body
// "Origin" and "Content-Type" lines become those headers; the body is also the pending barcode,
// and what the fake networked scale and the fake receiving server answer.
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <memory>

#include "devices/barcode/PendingBarcode.h"
#include "devices/printing/PrintEndpoint.h"
#include "devices/scale/WeightEndpoint.h"
#include "devices/scanning/ScanEndpoint.h"
#include "devices/scanning/ScanQueue.h"
#include "fuzz/FuzzInput.h"
#include "gateway/Router.h"
#include "platform/HttpClient.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "tests/testkit/AbsentEndpoints.h"

namespace dralmin::fuzz {
namespace {

class SilentMessages final : public MessageBox {
 public:
  void Show(const std::string&, const std::string&) override {}
};

// Answers every request with the same bytes, cut to the caller's limit.
class CannedHttp final : public HttpClient {
 public:
  explicit CannedHttp(std::string_view answer) : answer_(answer) {}
  HttpResponse Get(const std::string&, const HttpTimeouts&, std::size_t maxBody) override {
    return Answer(maxBody);
  }
  HttpResponse Post(const std::string&, const std::vector<std::string>&, std::string_view,
                    const HttpTimeouts&, std::size_t maxBody) override {
    return Answer(maxBody);
  }

 private:
  HttpResponse Answer(std::size_t maxBody) const {
    HttpResponse response;
    response.transportOk = true;
    response.status = 200;
    response.body = answer_.substr(0, maxBody);
    return response;
  }
  std::string_view answer_;
};

class NoScanner final : public ScanSessionProvider {
 public:
  ScanSession& GetScanSession() override {
    Require(false, "the router fuzzer never starts a scan session");
    std::abort();
  }
};

// The scan queue's folder, emptied for every input so that no input sees what an earlier one
// left (a key, pages). In memory where the system has such a folder: the queue syncs each page.
std::string FreshQueueFolder() {
  // Removed when the fuzzer exits.
  static const struct Folder {
    Folder() {
      const std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
      path = (base / ("dralmin-fuzz-router-" + std::to_string(getpid()))).string();
    }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } folder;
  std::error_code ignored;
  std::filesystem::remove_all(folder.path, ignored);
  std::filesystem::create_directories(folder.path, ignored);
  return folder.path;
}

const char* FakePrint(const char* xml) {
  return *xml == '\0' ? "empty label" : "printed";
}

class FuzzEndpoints final : public AbsentEndpoints {
 public:
  explicit FuzzEndpoints(std::string_view deviceAnswer)
      : http_(deviceAnswer),
        scanHttp_(deviceAnswer),
        queue_(messages_, FreshQueueFolder()),
        scan_(scanner_, queue_, scanHttp_, messages_, [] { return 1; }),
        print_(&FakePrint),
        weight_([]() -> std::unique_ptr<Weighter> { throw ComPortException("no scale"); },
                std::make_unique<CannedHttp>(deviceAnswer)) {
    queue_.Append("\xFF\xD8 page \xFF\xD9");
    barcode_.PutBarcode(std::string(deviceAnswer));
  }

  std::string GetBarcode() override { return barcode_.GetBarcode(); }
  // The key is taken as a started scan takes it; no scanner is there to start.
  void StartScan(const std::string& scanKey) override { queue_.SetKey(scanKey); }
  std::string GetScan(const std::string& rest) override { return scan_.GetScan(rest); }
  std::string PrintForm(const Request& request) override { return print_.PrintForm(request); }
  std::string GetWeight() override { return weight_.GetWeight(); }
  std::string GetIpWeight(const std::string& address) override {
    return weight_.GetIpWeight(address);
  }

 private:
  SilentMessages messages_;
  CannedHttp http_;
  CannedHttp scanHttp_;
  NoScanner scanner_;
  ScanQueue queue_;
  ScanEndpoint scan_;
  PrintEndpoint print_;
  WeightEndpoint weight_;
  PendingBarcode barcode_;
};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void CheckFraming(const Request& request, std::string_view reply) {
  Require(reply.starts_with("HTTP/1.1 200 OK\r\n"), "every reply has status 200");
  const auto headEnd = reply.find("\r\n\r\n");
  Require(headEnd != std::string_view::npos, "the head ends in a blank line");
  const std::string_view head = reply.substr(0, headEnd);
  const std::string_view body = reply.substr(headEnd + 4);
  constexpr std::string_view kLength = "Content-Length: ";
  const auto lengthAt = head.rfind(kLength);
  Require(lengthAt != std::string_view::npos, "the head names the body's length");
  std::size_t length = 0;
  const std::string_view digits = head.substr(lengthAt + kLength.size());
  const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  Require(parsed.ec == std::errc() && parsed.ptr == digits.data() + digits.size(),
          "Content-Length is the last head line and a number");
  Require(length == body.size(), "Content-Length counts the body's bytes");
  constexpr std::string_view kBarcodeHead = "DralminBarcode__callback({code:'";
  if (body.starts_with(kBarcodeHead)) {
    Require(body.ends_with("'})"), "the barcode form");
    Require(
        IsSafeJsStringBody(body.substr(kBarcodeHead.size(), body.size() - kBarcodeHead.size() - 3)),
        "the code cannot leave its string");
  }
  if (!request.origin) {
    Require(head.find("Access-Control-Allow-Origin") == std::string_view::npos,
            "no origin is allowed that the request did not name");
  }
}

}  // namespace
}  // namespace dralmin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  std::string_view rest = AsText(data, size);
  std::string_view requestLine = TakeUntil(rest, '\n');
  Request request;
  request.method = TakeUntil(requestLine, ' ');
  request.uri = requestLine;
  while (!rest.empty()) {
    const std::string_view line = TakeUntil(rest, '\n');
    if (line.empty()) break;
    std::string_view value = line;
    const std::string_view name = TakeUntil(value, ':');
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (SameName(name, "Origin")) request.origin = value;
    if (SameName(name, "Referer")) request.referer = value;
    if (SameName(name, "Content-Type")) request.contentType = value;
    if (SameName(name, "Access-Control-Request-Private-Network")) {
      request.privateNetworkRequest = value;
    }
  }
  request.body = rest;

  FuzzEndpoints endpoints(rest);
  Router router(endpoints);
  // Twice, so that state one request leaves behind (the scan key, the busy flags) meets the next.
  for (int i = 0; i < 2; ++i) CheckFraming(request, router.HandleRequest(request));

  // With a list of origins, a request is refused with exactly the forbidden reply, or served.
  SetLogLevel(LogLevel::Error);  // a refusal's warning would be written for every input
  Router limited(endpoints, OriginPolicy({{"https://shop.example"}}));
  const std::string reply = limited.HandleRequest(request);
  if (reply != Router::kForbidden) CheckFraming(request, reply);
  return 0;
}
