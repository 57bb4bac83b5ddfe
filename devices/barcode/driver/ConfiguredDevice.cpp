#include "devices/barcode/driver/ConfiguredDevice.h"

#include <charconv>

namespace dralmin {
namespace {

std::optional<uint16_t> FourHexDigits(std::string_view text) {
  if (text.size() != 4) return std::nullopt;
  uint16_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ConfiguredDevice> ParseConfiguredDevice(std::string_view text, std::string& error) {
  ConfiguredDevice device;
  device.text = std::string(text);
  if (text.starts_with('/')) {
    device.path = device.text;
    return device;
  }
  constexpr std::string_view kUsb = "usb:";
  if (text.starts_with(kUsb) && text.size() == kUsb.size() + 9 && text[kUsb.size() + 4] == ':') {
    const auto vendor = FourHexDigits(text.substr(kUsb.size(), 4));
    const auto product = FourHexDigits(text.substr(kUsb.size() + 5, 4));
    if (vendor && product) {
      device.vendor = *vendor;
      device.product = *product;
      return device;
    }
  }
  error = "'" + device.text + "' is neither a device path nor usb:VVVV:PPPP";
  return std::nullopt;
}

}  // namespace dralmin
