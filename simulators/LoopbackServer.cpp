#include <stdexcept>

#include "simulators/LoopbackSocket.h"

namespace dralmin::loopback {

Server::Server(std::function<void(int connection)> serve, std::uint16_t port)
    : serve_(std::move(serve)) {
  std::string error;
  listener_ = Listen(port, false, &error);
  if (listener_ < 0) {
    throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " + error);
  }
  port_ = PortOf(listener_);
  thread_ = std::thread(&Server::Run, this);
}

Server::~Server() {
  // A connection of its own wakes the thread waiting for the next one.
  stopping_ = true;
  Close(Connect(port_));
  thread_.join();
  Close(listener_);
}

void Server::Run() {
  for (;;) {
    const int connection = Accept(listener_);
    if (stopping_) {
      Close(connection);
      return;
    }
    if (connection < 0) continue;
    serve_(connection);
    Close(connection);
  }
}

}  // namespace dralmin::loopback
