#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  ~NetScaleServer();
  NetScaleServer(const NetScaleServer&) = delete;
  NetScaleServer& operator=(const NetScaleServer&) = delete;

  std::uint16_t port() const { return port_; }
  // The request targets received so far, in order.
  std::vector<std::string> Paths() const;

 private:
  void Run();
  void Serve(int connection);

  Responder responder_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::vector<std::string> paths_;

  std::thread thread_;
};

}  // namespace dralmin
