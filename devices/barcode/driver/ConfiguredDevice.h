#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// One entry of the configured scanner devices: a device node path (an event device of a
// keyboard scanner, or a serial port), or every node of one USB device.
struct ConfiguredDevice {
  std::string text;  // as configured, for messages
  std::string path;  // empty for a USB id
  uint16_t vendor = 0;
  uint16_t product = 0;

  bool IsUsbId() const { return path.empty(); }
};

// "/dev/..." or "usb:VVVV:PPPP" (four hexadecimal digits each); nullopt with the reason in `error`.
std::optional<ConfiguredDevice> ParseConfiguredDevice(std::string_view text, std::string& error);

}  // namespace dralmin
