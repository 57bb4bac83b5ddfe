#pragma once

#include <mutex>
#include <string>
#include <thread>

namespace dralmin {

// How the simulated scale behaves.
struct ScaleSettings {
  enum class Fault {
    None,
    Silent,       // answers nothing at all
    WrongByte,    // answers ENQ with NAK instead of ACK
    FReading,     // answers DC1 with a reading without a finite value
    ShortAnswer,  // answers DC1 with only the first 8 bytes of the answer
  };

  std::string weight = "1.250";  // right-aligned into the seven weight characters
  std::string unit = "kg";       // the two unit letters
  Fault fault = Fault::None;
};

// A scale on a pseudo-terminal: answers ENQ with ACK and DC1 with "ST," + weight (7) + unit (2)
// + CR LF, and records every byte it receives. The answering runs on its own thread.
class ScaleSimulator {
 public:
  // Throws std::runtime_error when no pseudo-terminal can be had.
  explicit ScaleSimulator(ScaleSettings settings = {});
  ~ScaleSimulator();
  ScaleSimulator(const ScaleSimulator&) = delete;
  ScaleSimulator& operator=(const ScaleSimulator&) = delete;

  // The device path a serial port opens to reach the scale.
  const std::string& devicePath() const { return devicePath_; }

  void Set(ScaleSettings settings);
  // Every byte received since the start or the last ClearReceived.
  std::string Received() const;
  void ClearReceived();

  // The answer to DC1 under the given settings.
  static std::string WeightAnswer(const ScaleSettings& settings);

 private:
  void Run();
  void Answer(char request);

  int master_ = -1;
  int slave_ = -1;  // held open so that the line does not hang up between users
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::string devicePath_;

  mutable std::mutex mutex_;
  ScaleSettings settings_;
  std::string received_;

  std::thread thread_;
};

}  // namespace dralmin
