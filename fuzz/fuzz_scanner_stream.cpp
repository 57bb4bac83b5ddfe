// What the scanner driver reads from its devices: a keyboard scanner's input_event records and a
// serial scanner's line, cut into reads where the input says, with time passing between reads.
#include <linux/input.h>

#include <algorithm>
#include <string>

#include "devices/barcode/driver/CodeFraming.h"
#include "devices/barcode/driver/KeyboardDecoder.h"
#include "fuzz/FuzzInput.h"
#include "platform/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  static const std::shared_ptr<const KeyboardLayout> layout = [] {
    SetLogLevel(LogLevel::Error);  // cut and broken codes are expected here
    std::string error;
    return KeyboardLayout::Compile("us", error);
  }();
  Require(layout != nullptr, "the US layout compiles");

  const CodeSink check = [](const std::string& code) {
    Require(!code.empty() && code.size() <= kMaxCodeBytes, "a code has 1 to 4096 bytes");
  };
  KeyboardDecoder keys(layout, {}, "keyboard", [] { return std::vector<uint16_t>{KEY_LEFTSHIFT}; });
  SerialFramer serial("serial");
  auto now = KeyboardDecoder::Clock::time_point();

  // Each read: one byte for its length (and the milliseconds since the last one), then its bytes.
  std::string_view rest = AsText(data, size);
  while (!rest.empty()) {
    const std::size_t length =
        std::min<std::size_t>(static_cast<uint8_t>(rest[0]), rest.size() - 1);
    const std::string_view read = rest.substr(1, length);
    rest.remove_prefix(1 + length);
    now += std::chrono::milliseconds(length);
    keys.Feed(read, now, check);
    serial.Feed(read, check);
    keys.Expire(now, check);
    // The event loop sleeps until the deadline: one already past would make it spin.
    const auto deadline = keys.Deadline();
    Require(!deadline || *deadline > now, "a code in progress ends in the future");
  }
  return 0;
}
