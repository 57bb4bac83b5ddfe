#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace dralmin::test {

// A misbehaving HTTP peer on 127.0.0.1: reads each request head, answers it with fixed raw bytes
// (none at all when `answer` is empty), then keeps the connection open until destroyed, unless
// asked to close it.
class RawHttpPeer {
 public:
  enum class Then { KeepOpen, Close };

  explicit RawHttpPeer(std::string answer, Then then = Then::KeepOpen);
  ~RawHttpPeer();
  RawHttpPeer(const RawHttpPeer&) = delete;
  RawHttpPeer& operator=(const RawHttpPeer&) = delete;

  uint16_t port() const { return port_; }
  std::string Url(const std::string& path) const;
  // Request heads received so far.
  int Requests() const { return requests_.load(); }

 private:
  void Serve();

  std::string answer_;
  Then then_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace dralmin::test
