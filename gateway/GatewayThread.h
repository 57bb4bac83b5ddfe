#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/GatewayServer.h"

namespace dralmin {

// The poll thread: constructs the gateway on itself, then runs it until Stop. The server lives
// exactly as long as the thread's use of it; Stop is seen at once and returns after the thread
// has ended, so nothing outlives its owner.
class GatewayThread {
 public:
  using Factory = std::function<std::unique_ptr<GatewayServer>()>;
  // Called on the poll thread when construction fails; the message is the error's text.
  using FailureHandler = std::function<void(const std::string& what)>;

  GatewayThread(Factory factory, FailureHandler onFailure);
  ~GatewayThread();
  GatewayThread(const GatewayThread&) = delete;
  GatewayThread& operator=(const GatewayThread&) = delete;

  // Idempotent; call from any thread but the poll thread.
  void Stop();

 private:
  void Main(Factory factory, FailureHandler onFailure);

  std::mutex mutex_;
  GatewayServer* server_ = nullptr;  // set while Run is in progress
  bool stopRequested_ = false;
  std::thread thread_;
};

}  // namespace dralmin
