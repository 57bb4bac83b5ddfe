// Upload throughput of a ten-page scan: the queued pages posted as a page's "/getscan/" posts
// them, one by one through the blocking HTTP client, to a receiving server on loopback.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/A4Page.h"
#include "devices/scanning/ScanEndpoint.h"
#include "devices/scanning/ScanQueue.h"
#include "platform/HttpClient.h"
#include "platform/MemoryHandle.h"
#include "platform/MessageBox.h"
#include "tests/testkit/RunningGateway.h"

namespace dralmin {
namespace {

class NoMessages final : public MessageBox {
 public:
  void Show(const std::string&, const std::string&) override {}
};

class NoScanner final : public ScanSessionProvider {
 public:
  ScanSession& GetScanSession() override { std::abort(); }  // uploads never start a scan
};

// Takes every post whole and answers with an identifier, as a document store does.
class Receiver final : public RequestHandler {
 public:
  std::string HandleRequest(const Request& request) override {
    received += request.body.size();
    return "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n4711";
  }
  std::size_t received = 0;  // poll thread only
};

// The receiver behind the agent's own server code.
class ReceivingServer {
 public:
  ReceivingServer() : running_(receiver_) {}
  uint16_t port() const { return running_.port(); }

 private:
  Receiver receiver_;
  test::RunningGateway running_;
};

void BM_UploadTenA4Pages(benchmark::State& state) {
  NoMessages messages;
  // The pages wait on the disk, as in the agent.
  char folder[] = "/tmp/dralmin-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  ScanQueue queue(messages, folder);
  TW_HANDLE page = bench::A4Page(24);
  queue.OnScannedImage(page);
  FreeMemory(page);
  const std::string jpeg = queue.Read(*queue.Front()).bytes;
  queue.Remove(*queue.Front());

  ReceivingServer server;
  CurlHttpClient http;
  NoScanner scanner;
  ScanEndpoint endpoint(scanner, queue, http, messages);
  queue.SetKey("7");
  const std::string address = "127.0.0.1:" + std::to_string(server.port()) + "/upload";
  const std::string rest = "7/file/" + address;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 10; ++i) queue.Append(jpeg);
    state.ResumeTiming();
    const std::string reply = endpoint.GetScan(rest);
    if (!queue.Empty() || reply.find("error") != std::string::npos) {
      state.SkipWithError(reply.c_str());
      return;
    }
  }
  std::filesystem::remove_all(folder);
  state.SetBytesProcessed(state.iterations() * 10 * static_cast<int64_t>(jpeg.size()));
  state.counters["page_kB"] = static_cast<double>(jpeg.size()) / 1024;
}
BENCHMARK(BM_UploadTenA4Pages)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace dralmin
