// Upload throughput of a ten-page scan: each page posted as the agent posts it, through the
// blocking HTTP client, to a receiving server on loopback.
#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "bench/A4Page.h"
#include "devices/scanning/ScanEndpoint.h"
#include "devices/scanning/ScanQueue.h"
#include "gateway/GatewayThread.h"
#include "platform/HttpClient.h"
#include "platform/MemoryHandle.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

class NoMessages final : public MessageBox {
 public:
  void Show(const std::string&, const std::string&) override {}
};

class NoScanner final : public TwainProvider {
 public:
  CTwain& GetTwain() override { std::abort(); }  // uploads never start a scan
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

class ReceivingServer {
 public:
  ReceivingServer() {
    std::promise<uint16_t> bound;
    auto port = bound.get_future();
    thread_ = std::make_unique<GatewayThread>(
        [this, &bound] {
          GatewaySettings settings;
          settings.httpPort = 0;
          auto server = std::make_unique<GatewayServer>(settings, receiver_);
          bound.set_value(server->HttpPort());
          return server;
        },
        [](const std::string&) {});
    port_ = port.get();
  }
  uint16_t port() const { return port_; }

 private:
  Receiver receiver_;
  uint16_t port_ = 0;
  std::unique_ptr<GatewayThread> thread_;
};

void BM_UploadTenA4Pages(benchmark::State& state) {
  NoMessages messages;
  ScanQueue queue(messages);
  TW_HANDLE page = bench::A4Page(24);
  queue.OnScannedImage(page);
  FreeMemory(page);
  const std::string jpeg = *queue.TakeFront();

  ReceivingServer server;
  CurlHttpClient http;
  NoScanner scanner;
  ScanEndpoint endpoint(scanner, queue, http, messages);
  const std::string address = "127.0.0.1:" + std::to_string(server.port()) + "/upload";
  for (auto _ : state) {
    for (int i = 0; i < 10; ++i) {
      std::string error;
      if (!endpoint.UploadImage(jpeg, address, "file", error)) {
        state.SkipWithError(error.c_str());
        return;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * 10 * static_cast<int64_t>(jpeg.size()));
  state.counters["page_kB"] = static_cast<double>(jpeg.size()) / 1024;
}
BENCHMARK(BM_UploadTenA4Pages)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace dralmin
