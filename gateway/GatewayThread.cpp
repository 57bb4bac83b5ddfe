#include "gateway/GatewayThread.h"

namespace dralmin {

GatewayThread::GatewayThread(Factory factory, FailureHandler onFailure, Companion companion)
    : thread_(&GatewayThread::Main, this, std::move(factory), std::move(onFailure),
              std::move(companion)) {}

GatewayThread::~GatewayThread() {
  Stop();
}

void GatewayThread::Main(Factory factory, FailureHandler onFailure, Companion companion) {
  std::unique_ptr<GatewayServer> server;
  try {
    server = factory();
  } catch (const std::exception& error) {
    onFailure(error.what());
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (stopRequested_) return;
    server_ = server.get();
  }
  std::thread beside;
  if (companion) {
    beside = std::thread([&] {
      try {
        companion(*server, stopping_);
      } catch (const std::exception& error) {
        onFailure(error.what());
      }
    });
  }
  server->Run();
  {
    std::lock_guard lock(mutex_);
    server_ = nullptr;
  }
  if (beside.joinable()) beside.join();
}

void GatewayThread::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    stopping_.store(true);
    if (server_ != nullptr) server_->Stop();
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace dralmin
