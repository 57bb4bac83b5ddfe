#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/barcode/driver/CodeFraming.h"
#include "devices/barcode/driver/DeviceAccess.h"
#include "devices/barcode/driver/KeyboardDecoder.h"

namespace dralmin {

// Reads the configured scanner devices and turns what they send into codes. Devices that are
// missing, unplugged or held by another program are opened when they come back. Driven by an
// event loop: it offers one descriptor to wait on and a time to wake up at.
class ScannerReader {
 public:
  using Clock = std::chrono::steady_clock;
  // A finished code and the scanner it came from: the configured entry's position, from 1.
  using Scanned = std::function<void(const std::string& code, int scannerId)>;

  struct Options {
    std::shared_ptr<const KeyboardLayout> layout;
    KeyboardFraming framing;
    // A device that is there but could not be opened (held by another program, or not yet
    // given to the user) is tried again this often.
    std::chrono::milliseconds retryInterval{2000};
    // After a device node comes or goes, udev still sets its permissions: wait this long first.
    std::chrono::milliseconds settleDelay{200};
  };

  ScannerReader(DeviceAccess& access, std::vector<ConfiguredDevice> devices, Options options,
                Scanned scanned, std::function<Clock::time_point()> clock = Clock::now);
  ~ScannerReader();
  ScannerReader(const ScannerReader&) = delete;
  ScannerReader& operator=(const ScannerReader&) = delete;

  // Readable when Process has input to handle.
  int Descriptor() const { return epoll_; }
  // When Process must run even without input; nullopt: only on input.
  std::optional<Clock::time_point> NextWake() const;
  // Reads the devices that have input, ends the codes whose idle gap passed and opens devices
  // when due. Never waits.
  void Process();
  // Waits for input up to `timeout` (less when a wake-up is due), then Process.
  void RunOnce(std::chrono::milliseconds timeout);

  // How many devices are open now.
  std::size_t OpenCount() const { return open_.size(); }

 private:
  struct Open {
    std::string node;
    int scannerId;
    std::unique_ptr<ScannerDevice> device;
    std::unique_ptr<KeyboardDecoder> keys;
    std::unique_ptr<SerialFramer> serial;
  };

  void Rescan();
  void OpenNode(const std::string& node, int scannerId);
  void ReadDevice(uint64_t token);
  void Close(uint64_t token, const std::string& why);
  // Logs `what` about `subject` unless it is what was said last about it.
  void ReportOnce(const std::string& subject, const std::string& what, bool warning);
  void WakeAt(Clock::time_point when);

  DeviceAccess& access_;
  std::vector<ConfiguredDevice> devices_;
  Options options_;
  Scanned scanned_;
  std::function<Clock::time_point()> clock_;
  int epoll_ = -1;
  std::map<uint64_t, Open> open_;
  uint64_t nextToken_ = 1;
  std::map<std::string, std::string> reported_;  // subject -> the last thing said about it
  std::optional<Clock::time_point> rescanAt_;
};

}  // namespace dralmin
