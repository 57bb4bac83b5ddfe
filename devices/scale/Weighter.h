#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devices/scale/ComPortException.h"
#include "devices/scale/WeighterException.h"
#include "platform/SerialPort.h"

namespace dralmin {

// The serial ports searched for a scale: `setting` is a comma-separated list of device paths,
// or empty for /dev/ttyUSB0..9, /dev/ttyACM0..9, /dev/ttyS0..9 in that order.
std::vector<std::string> ScaleCandidatePorts(std::string_view setting);

// The weight, in kilograms, carried by a scale's answer to DC1; positive infinity for a reading
// without a finite value. Throws WeighterException when the answer is shorter than its layout.
double DecodeWeightAnswer(std::string_view answer);

// The serial scale reader: finds the scale by ENQ/ACK and keeps its port open for weighings.
// Used by one thread at a time.
class Weighter {
 public:
  // Searches `candidates` in order and keeps the first port whose device answers ENQ with ACK
  // open; throws ComPortException, naming each port and why it did not do, when none does, or
  // when `*stopping` (the agent is stopping) is true before the next port.
  Weighter(std::unique_ptr<SerialPort> port, const std::vector<std::string>& candidates,
           const std::atomic<bool>* stopping = nullptr);
  ~Weighter();
  Weighter(const Weighter&) = delete;
  Weighter& operator=(const Weighter&) = delete;

  // One weighing, in kilograms; throws ComPortException or WeighterException, after which the
  // reader should be dropped.
  double ReadWeight();

  const std::string& portPath() const { return portPath_; }

 private:
  void FindScale(const std::vector<std::string>& candidates, const std::atomic<bool>* stopping);
  // Throws the ComPortException for the failed step `what`, with the port's reason.
  [[noreturn]] void Fail(const char* what);

  std::unique_ptr<SerialPort> port_;
  std::string portPath_;
  // The scale has answered an ENQ and no DC1 has been sent since.
  bool acknowledged_ = false;
};

}  // namespace dralmin
