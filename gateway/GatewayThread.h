#pragma once

#include <atomic>
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
  // Called on the poll thread (or the companion's) when construction fails, or when the companion
  // throws; the message is the error's text.
  using FailureHandler = std::function<void(const std::string& what)>;
  // Slow work that belongs to the gateway but must not hold its requests (the certificate
  // update): run on a thread of its own once the server polls, and ended before the server is.
  // It must return soon after `stopping` becomes true.
  using Companion = std::function<void(GatewayServer& server, const std::atomic<bool>& stopping)>;

  GatewayThread(Factory factory, FailureHandler onFailure, Companion companion = {});
  ~GatewayThread();
  GatewayThread(const GatewayThread&) = delete;
  GatewayThread& operator=(const GatewayThread&) = delete;

  // Idempotent; call from any thread but the poll thread.
  void Stop();

 private:
  void Main(Factory factory, FailureHandler onFailure, Companion companion);

  std::mutex mutex_;
  GatewayServer* server_ = nullptr;  // set while Run is in progress
  bool stopRequested_ = false;
  std::atomic<bool> stopping_{false};  // the companion's view of stopRequested_
  std::thread thread_;
};

}  // namespace dralmin
