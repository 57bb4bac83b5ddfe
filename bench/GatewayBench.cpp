// Requests per second through the real server, router and reply framing, over loopback.
#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <vector>

#include "gateway/GatewayThread.h"
#include "gateway/Router.h"
#include "tests/support/AgentProcess.h"

namespace dralmin {
namespace {

class Gateway {
 public:
  Gateway() : router_(endpoints_) {
    std::promise<uint16_t> bound;
    auto port = bound.get_future();
    thread_ = std::make_unique<GatewayThread>(
        [this, &bound] {
          GatewaySettings settings;
          settings.httpPort = 0;
          auto server = std::make_unique<GatewayServer>(settings, router_);
          bound.set_value(server->HttpPort());
          return server;
        },
        [](const std::string&) {});
    port_ = port.get();
  }
  uint16_t port() const { return port_; }

 private:
  AbsentEndpoints endpoints_;
  Router router_;
  uint16_t port_ = 0;
  std::unique_ptr<GatewayThread> thread_;
};

const std::string kRequest = "GET /weight HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n\r\n";

void BM_OneKeepAliveConnection(benchmark::State& state) {
  Gateway gateway;
  test::Socket socket(gateway.port());
  for (auto _ : state) {
    socket.Send(kRequest);
    benchmark::DoNotOptimize(socket.ReadReply());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OneKeepAliveConnection)->UseRealTime();

void BM_FiftyKeepAliveConnections(benchmark::State& state) {
  Gateway gateway;
  std::vector<std::unique_ptr<test::Socket>> sockets;
  for (int i = 0; i < 50; ++i) sockets.push_back(std::make_unique<test::Socket>(gateway.port()));
  for (auto _ : state) {
    for (auto& socket : sockets) socket->Send(kRequest);
    for (auto& socket : sockets) benchmark::DoNotOptimize(socket->ReadReply());
  }
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_FiftyKeepAliveConnections)->UseRealTime();

void BM_PercentDecode(benchmark::State& state) {
  const std::string path = "/getscan/42/file/files.example%3A8080%2Fupload%3Fa%3D1";
  for (auto _ : state) benchmark::DoNotOptimize(PercentDecode(path));
}
BENCHMARK(BM_PercentDecode);

}  // namespace
}  // namespace dralmin
