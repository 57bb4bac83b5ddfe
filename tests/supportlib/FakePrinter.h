#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "simulators/LoopbackSocket.h"

namespace dralmin::test {

// A network label printer on 127.0.0.1 with a port of its own choosing, in this process: every
// connection is one job, complete when the sender closes its side, as with a raw-port printer.
class FakePrinter {
 public:
  FakePrinter();

  bool ok() const { return server_.port() != 0; }
  uint16_t port() const { return server_.port(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port()); }

  // The bytes of job `number` (from 1) once it has been received completely; empty after the
  // timeout.
  std::string Job(int number, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // How many jobs have arrived so far.
  int JobCount() const;

 private:
  void Receive(int connection);

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<std::string> jobs_;
  loopback::Server server_;  // last: stopped before the jobs go
};

// Reads a whole file; empty when it cannot.
std::string ReadFile(const std::string& path);

}  // namespace dralmin::test
