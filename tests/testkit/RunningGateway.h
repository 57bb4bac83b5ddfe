#pragma once

#include <future>
#include <memory>

#include "gateway/GatewayThread.h"

namespace dralmin::test {

// A gateway on its own poll thread, on a free loopback port, serving `handler` until destroyed.
class RunningGateway {
 public:
  explicit RunningGateway(RequestHandler& handler, GatewaySettings settings = {}) {
    settings.httpPort = 0;
    std::promise<uint16_t> bound;
    auto port = bound.get_future();
    thread_ = std::make_unique<GatewayThread>(
        [settings, &handler, &bound] {
          auto server = std::make_unique<GatewayServer>(settings, handler);
          bound.set_value(server->HttpPort());
          return server;
        },
        [](const std::string&) {});
    port_ = port.get();
  }
  uint16_t port() const { return port_; }
  GatewayThread& thread() { return *thread_; }

 private:
  uint16_t port_ = 0;
  std::unique_ptr<GatewayThread> thread_;
};

}  // namespace dralmin::test
