#pragma once

#include <iconv.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/barcode/driver/CodeFraming.h"

struct input_event;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace dralmin {

// A compiled keyboard layout: what a keyboard scanner's keys mean, whatever layout the desktop
// uses for the real keyboard.
class KeyboardLayout {
 public:
  // `name` is a layout with an optional variant in parentheses: "us", "de", "fr(azerty)". Null
  // with the reason in `error` when it is not known.
  static std::shared_ptr<const KeyboardLayout> Compile(std::string_view name, std::string& error);
  ~KeyboardLayout();
  KeyboardLayout(const KeyboardLayout&) = delete;
  KeyboardLayout& operator=(const KeyboardLayout&) = delete;

  xkb_keymap* keymap() const { return keymap_; }

 private:
  KeyboardLayout(xkb_context* context, xkb_keymap* keymap) : context_(context), keymap_(keymap) {}
  xkb_context* context_;
  xkb_keymap* keymap_;
};

enum class EndKey { Enter, Tab };

struct KeyboardFraming {
  EndKey end = EndKey::Enter;
  // Scanners type a code in one burst; a pause this long ends it (for scanners set to send no
  // end key).
  std::chrono::milliseconds idleGap{50};
};

// Turns a keyboard scanner's event stream (struct input_event records, as read from its event
// device) into codes: each key press gives the character the layout assigns to it in the current
// shift and lock state, written in the replies' charset (a character it lacks becomes "?", said
// once a code); the end key or the idle gap ends the code.
class KeyboardDecoder {
 public:
  using Clock = std::chrono::steady_clock;
  // The keys held down on the device now (evdev key codes), asked after the kernel dropped
  // events, so that a lost Shift release does not capitalise the next code.
  using HeldKeys = std::function<std::vector<uint16_t>()>;

  KeyboardDecoder(std::shared_ptr<const KeyboardLayout> layout, KeyboardFraming framing,
                  std::string source, HeldKeys heldKeys);
  ~KeyboardDecoder();
  KeyboardDecoder(const KeyboardDecoder&) = delete;
  KeyboardDecoder& operator=(const KeyboardDecoder&) = delete;

  // Bytes as read from the device, which may end inside a record; the rest waits for the next
  // read. `now` is when they were read: the idle gap after the last key counts from it, the gaps
  // between keys from the records' own time stamps.
  void Feed(std::string_view bytes, Clock::time_point now, const CodeSink& sink);
  // When the code in progress ends by the idle gap; nullopt while there is none.
  std::optional<Clock::time_point> Deadline() const;
  // Ends the code in progress when its idle gap has passed by `now`.
  void Expire(Clock::time_point now, const CodeSink& sink);
  // The device went away: the code in progress ends unread.
  void Drop();

 private:
  void OnEvent(const input_event& event, Clock::time_point now, const CodeSink& sink);
  void OnKeyPress(uint16_t key, const CodeSink& sink);
  void Resynchronise();
  void AppendCharacter(uint32_t character);
  void EndCode(const CodeSink& sink);

  std::shared_ptr<const KeyboardLayout> layout_;
  KeyboardFraming framing_;
  HeldKeys heldKeys_;
  xkb_state* state_;
  std::string source_;
  CodeBuffer code_;
  iconv_t toReplies_;                       // UTF-8 to the replies' charset
  std::size_t unwritable_ = 0;              // characters of this code sent as "?"
  uint32_t firstUnwritable_ = 0;
  std::string partial_;                     // the start of a record that a read cut
  bool dropping_ = false;                   // after SYN_DROPPED, until the next SYN_REPORT
  Clock::time_point lastKey_{};             // when the last key press was read
  std::chrono::microseconds lastTyped_{0};  // its kernel time stamp
};

}  // namespace dralmin
