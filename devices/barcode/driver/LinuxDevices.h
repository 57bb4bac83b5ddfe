#pragma once

#include <string>

#include "devices/barcode/driver/DeviceAccess.h"

namespace dralmin {

// Scanners as Linux presents them: event devices (evdev) of keyboard scanners, serial ports
// (CDC-ACM and the like) of serial ones, USB ids looked up in sysfs, and inotify on the folders
// of the device nodes for devices plugged in later.
class LinuxDevices final : public DeviceAccess {
 public:
  // `sys` and `dev` are where sysfs and the device nodes are (elsewhere for tests only).
  explicit LinuxDevices(std::string sys = "/sys", std::string dev = "/dev");
  ~LinuxDevices() override;
  LinuxDevices(const LinuxDevices&) = delete;
  LinuxDevices& operator=(const LinuxDevices&) = delete;

  std::vector<std::string> Find(const ConfiguredDevice& device) override;
  std::unique_ptr<ScannerDevice> Open(const std::string& node, std::string& error) override;
  int ChangeDescriptor() const override { return inotify_; }
  void TakeChanges() override;

 private:
  // Watches `folder`, or while it does not exist the nearest folder above it that does.
  void WatchFolder(std::string folder);

  std::string sys_;
  std::string dev_;
  int inotify_ = -1;
};

}  // namespace dralmin
