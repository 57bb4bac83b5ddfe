#pragma once

#include <linux/input.h>

#include <chrono>
#include <cstring>
#include <string>

namespace dralmin::test {

// struct input_event records as a USB keyboard sends them: a scan code, the key, a report.
class EventStream {
 public:
  EventStream& Event(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.input_event_sec = static_cast<decltype(event.input_event_sec)>(typed_.count() / 1000000);
    event.input_event_usec =
        static_cast<decltype(event.input_event_usec)>(typed_.count() % 1000000);
    event.type = type;
    event.code = code;
    event.value = value;
    bytes_.append(reinterpret_cast<const char*>(&event), sizeof event);
    return *this;
  }
  EventStream& Key(uint16_t key, int32_t value) {
    return Event(EV_MSC, MSC_SCAN, 0x70000 + key).Event(EV_KEY, key, value).Report();
  }
  EventStream& Report() { return Event(EV_SYN, SYN_REPORT, 0); }
  // The kernel's time stamp of the events that follow (zero until set).
  EventStream& At(std::chrono::microseconds typed) {
    typed_ = typed;
    return *this;
  }
  EventStream& Tap(uint16_t key) { return Key(key, 1).Key(key, 0); }
  EventStream& Shifted(uint16_t key) {
    return Key(KEY_LEFTSHIFT, 1).Tap(key).Key(KEY_LEFTSHIFT, 0);
  }
  // Taps the keys of a text of digits (US and most layouts alike).
  EventStream& Digits(std::string_view digits) {
    static constexpr uint16_t kDigitKeys[] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                              KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
    for (const char digit : digits) Tap(kDigitKeys[digit - '0']);
    return *this;
  }

  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  std::chrono::microseconds typed_{0};
};

}  // namespace dralmin::test
