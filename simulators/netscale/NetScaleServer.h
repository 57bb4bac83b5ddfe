#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "simulators/LoopbackSocket.h"

namespace dralmin {

// A networked scale's web server on 127.0.0.1: answers every GET with the page the responder
// gives for its path, then closes the connection. Serves on its own thread.
class NetScaleServer {
 public:
  struct Page {
    int status = 200;
    std::string body;
  };
  using Responder = std::function<Page(const std::string& path)>;

  // Listens on `port` (0: any free port); throws std::runtime_error when it cannot.
  explicit NetScaleServer(Responder responder, std::uint16_t port = 0);

  std::uint16_t port() const { return server_.port(); }
  // The request targets received so far, in order.
  std::vector<std::string> Paths() const;

 private:
  void Serve(int connection);

  Responder responder_;
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
  loopback::Server server_;  // last: stopped before the members it uses go
};

}  // namespace dralmin
