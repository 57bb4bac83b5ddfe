#include "gateway/GatewayThread.h"

namespace dralmin {

GatewayThread::GatewayThread(Factory factory, FailureHandler onFailure)
    : thread_(&GatewayThread::Main, this, std::move(factory), std::move(onFailure)) {}

GatewayThread::~GatewayThread() {
  Stop();
}

void GatewayThread::Main(Factory factory, FailureHandler onFailure) {
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
  server->Run();
  std::lock_guard lock(mutex_);
  server_ = nullptr;
}

void GatewayThread::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    if (server_ != nullptr) server_->Stop();
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace dralmin
