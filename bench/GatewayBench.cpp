// Requests per second through the real server, router and reply framing, over loopback.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "gateway/Router.h"
#include "replies/PercentDecode.h"
#include "tests/testkit/AbsentEndpoints.h"
#include "tests/testkit/Helpers.h"
#include "tests/testkit/RunningGateway.h"

namespace dralmin {
namespace {

// The real router with every device absent, behind the real server.
class Gateway {
 public:
  Gateway() : router_(endpoints_), running_(router_) {}
  uint16_t port() const { return running_.port(); }

 private:
  AbsentEndpoints endpoints_;
  Router router_;
  test::RunningGateway running_;
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
