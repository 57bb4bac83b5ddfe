#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace dralmin::test {

// A session bus of the test's own (a dbus-daemon child), ended on destruction.
class PrivateBus {
 public:
  // `configFile`: a bus configuration of the test's own (such as one with a folder of services
  // to start on demand); empty: the standard session bus configuration.
  explicit PrivateBus(const std::string& configFile = {});
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The address to connect to; empty when the daemon could not be started.
  const std::string& address() const { return address_; }

 private:
  int pid_ = -1;
  std::string address_;
};

// The simulated scanner driver on a bus: each typed line becomes one scan; every call the driver
// receives is one line of its output.
class DriverSimulator {
 public:
  explicit DriverSimulator(const std::string& busAddress);
  ~DriverSimulator();
  DriverSimulator(const DriverSimulator&) = delete;
  DriverSimulator& operator=(const DriverSimulator&) = delete;

  // True once it owns the driver's name.
  bool ok() const { return ready_; }
  bool Type(const std::string& line);
  // The output lines so far, after waiting until there are at least `count` of them (or the
  // timeout passed).
  std::vector<std::string> Calls(std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  int pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool ready_ = false;
  std::vector<std::string> lines_;
};

// Path of the built simulator.
const char* DriverSimulatorPath();

}  // namespace dralmin::test
