#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/testkit/Helpers.h"

namespace dralmin::test {

// The network label printer simulator (simulators/printer) running on 127.0.0.1 with a port of
// its own choosing; stopped on destruction.
class FakePrinter {
 public:
  FakePrinter();
  ~FakePrinter();
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The bytes of job `number` (from 1) once it has been received completely; empty after the
  // timeout.
  std::string Job(int number, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // How many jobs have arrived so far.
  int JobCount() const;

 private:
  TempFolder folder_;
  int pid_ = -1;
  uint16_t port_ = 0;
};

// Reads a whole file; empty when it cannot.
std::string ReadFile(const std::string& path);

}  // namespace dralmin::test
