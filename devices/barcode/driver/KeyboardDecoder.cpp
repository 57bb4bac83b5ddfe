#include "devices/barcode/driver/KeyboardDecoder.h"

#include <linux/input.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstring>

#include "platform/Log.h"
#include "replies/Jsonp.h"

namespace dralmin {
namespace {

// evdev key codes are X key codes less 8.
constexpr uint32_t kXkbKeycodeOffset = 8;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

enum KeyValue : int32_t { kRelease = 0, kPress = 1, kRepeat = 2 };

// UTF-8 of a code point from xkb (never a surrogate or beyond U+10FFFF).
void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// When the kernel stamped the event. A stamp no clock gives (a malformed stream) counts as none,
// so that the arithmetic on it cannot overflow.
std::chrono::microseconds TypedAt(const input_event& event) {
  constexpr int64_t kMaxSeconds = int64_t{1} << 40;  // far beyond any uptime or date
  const int64_t seconds = event.input_event_sec;
  const int64_t micros = event.input_event_usec;
  if (seconds < 0 || seconds > kMaxSeconds || micros < 0 || micros >= 1000000) return {};
  return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

}  // namespace

std::shared_ptr<const KeyboardLayout> KeyboardLayout::Compile(std::string_view name,
                                                              std::string& error) {
  // The layout is the configured one only: XKB_DEFAULT_* variables of the desktop must not
  // change it.
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (context == nullptr) {
    error = "the keyboard layout library cannot start";
    return nullptr;
  }
  // xkb reports a failed compilation in several lines of its own; ours below is the one to read.
  xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL);
  std::string layout(name);
  std::string variant;
  if (const std::size_t open = layout.find('(');
      open != std::string::npos && layout.back() == ')') {
    variant = layout.substr(open + 1, layout.size() - open - 2);
    layout.resize(open);
  }
  const xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) {
    xkb_context_unref(context);
    error = "the keyboard layout '" + std::string(name) + "' is not known";
    return nullptr;
  }
  return std::shared_ptr<const KeyboardLayout>(new KeyboardLayout(context, keymap));
}

KeyboardLayout::~KeyboardLayout() {
  xkb_keymap_unref(keymap_);
  xkb_context_unref(context_);
}

KeyboardDecoder::KeyboardDecoder(std::shared_ptr<const KeyboardLayout> layout,
                                 KeyboardFraming framing, std::string source, HeldKeys heldKeys)
    : layout_(std::move(layout)),
      framing_(framing),
      heldKeys_(std::move(heldKeys)),
      state_(xkb_state_new(layout_->keymap())),
      source_(source),
      code_(std::move(source)),
      toReplies_(iconv_open(kReplyCharset, "UTF-8")) {
  // Num Lock starts on: scanners set to type digits on the keypad mean digits, never the
  // cursor keys, and no desktop sets the lock for a device it does not see.
  const xkb_mod_index_t numLock = xkb_keymap_mod_get_index(layout_->keymap(), XKB_MOD_NAME_NUM);
  if (numLock != XKB_MOD_INVALID) xkb_state_update_mask(state_, 0, 0, 1u << numLock, 0, 0, 0);
}

KeyboardDecoder::~KeyboardDecoder() {
  if (toReplies_ != kNoConverter) iconv_close(toReplies_);
  xkb_state_unref(state_);
}

void KeyboardDecoder::AppendCharacter(uint32_t character) {
  std::string utf8;
  AppendUtf8(utf8, character);
  char written[8];
  char* in = utf8.data();
  size_t inLeft = utf8.size();
  char* out = written;
  size_t outLeft = sizeof written;
  if (toReplies_ != kNoConverter &&
      iconv(toReplies_, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) {
    code_.Append(std::string_view(written, static_cast<size_t>(out - written)));
    return;
  }
  if (toReplies_ != kNoConverter) iconv(toReplies_, nullptr, nullptr, nullptr, nullptr);
  if (unwritable_++ == 0) firstUnwritable_ = character;
  code_.Append("?");
}

void KeyboardDecoder::EndCode(const CodeSink& sink) {
  if (unwritable_ > 0) {
    char first[16];
    std::snprintf(first, sizeof first, "U+%04X", static_cast<unsigned>(firstUnwritable_));
    LogWarning("barcode", source_ + ": " + std::to_string(unwritable_) +
                              " typed character(s) of a code, the first " + first +
                              ", cannot be written in " + kReplyCharset + "; sent as ?");
  }
  unwritable_ = 0;
  code_.Finish(sink);
}

void KeyboardDecoder::Drop() {
  unwritable_ = 0;
  code_.Drop();
}

void KeyboardDecoder::Feed(std::string_view bytes, Clock::time_point now, const CodeSink& sink) {
  constexpr std::size_t kRecord = sizeof(input_event);
  // Whole records are decoded in place; only a record cut by a read is copied.
  if (!partial_.empty()) {
    const std::size_t missing = std::min(kRecord - partial_.size(), bytes.size());
    partial_.append(bytes.substr(0, missing));
    bytes.remove_prefix(missing);
    if (partial_.size() < kRecord) return;
    input_event event;
    std::memcpy(&event, partial_.data(), kRecord);
    partial_.clear();
    OnEvent(event, now, sink);
  }
  while (bytes.size() >= kRecord) {
    input_event event;
    std::memcpy(&event, bytes.data(), kRecord);
    bytes.remove_prefix(kRecord);
    OnEvent(event, now, sink);
  }
  partial_.assign(bytes);
}

std::optional<KeyboardDecoder::Clock::time_point> KeyboardDecoder::Deadline() const {
  if (!code_.InProgress()) return std::nullopt;
  return lastKey_ + framing_.idleGap;
}

void KeyboardDecoder::Expire(Clock::time_point now, const CodeSink& sink) {
  if (const auto deadline = Deadline(); deadline && now >= *deadline) EndCode(sink);
}

void KeyboardDecoder::OnEvent(const input_event& event, Clock::time_point now,
                              const CodeSink& sink) {
  const uint16_t type = event.type;
  const uint16_t code = event.code;
  const int32_t value = event.value;
  if (type == EV_SYN && code == SYN_DROPPED) {
    // The kernel's buffer overflowed: key events are missing, so the code in progress is wrong
    // and what follows until the next report is partial. The key state is asked afresh then.
    dropping_ = true;
    code_.Damage();
    return;
  }
  if (dropping_) {
    if (type == EV_SYN && code == SYN_REPORT) {
      dropping_ = false;
      Resynchronise();
    }
    return;
  }
  if (type != EV_KEY) return;  // scan codes, LEDs and reports carry nothing for a code
  if (value == kPress) {
    // Between two keys the gap is judged by when they were typed (the kernel's stamps), not when
    // they were read: a reader held up in the middle of a code must not cut it in two, and one
    // that reads two codes at once must not join them.
    const std::chrono::microseconds typed = TypedAt(event);
    if (code_.InProgress() && typed - lastTyped_ >= framing_.idleGap) EndCode(sink);
    lastTyped_ = typed;
    lastKey_ = now;
  }
  const xkb_keycode_t keycode = code + kXkbKeycodeOffset;
  if (value == kPress) {
    OnKeyPress(code, sink);
    xkb_state_update_key(state_, keycode, XKB_KEY_DOWN);
  } else if (value == kRelease) {
    xkb_state_update_key(state_, keycode, XKB_KEY_UP);
  }
  // Auto-repeat (kRepeat) and any other value: a scanner holds no key long enough to mean it.
}

void KeyboardDecoder::OnKeyPress(uint16_t key, const CodeSink& sink) {
  const bool end =
      framing_.end == EndKey::Enter ? (key == KEY_ENTER || key == KEY_KPENTER) : key == KEY_TAB;
  if (end) {
    EndCode(sink);
    return;
  }
  // Control transformation included, so Ctrl+] gives the group separator GS1 codes carry.
  const uint32_t character = xkb_state_key_get_utf32(state_, key + kXkbKeycodeOffset);
  if (character == 0) return;  // modifiers, dead keys, keys without a character
  AppendCharacter(character);
}

void KeyboardDecoder::Resynchronise() {
  // Locks (Caps Lock) are kept; which keys are down is what the device says now.
  const xkb_mod_mask_t locked = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED);
  const xkb_layout_index_t group = xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_LOCKED);
  xkb_state_unref(state_);
  state_ = xkb_state_new(layout_->keymap());
  xkb_state_update_mask(state_, 0, 0, locked, 0, 0, group);
  if (!heldKeys_) return;
  for (const uint16_t key : heldKeys_()) {
    xkb_state_update_key(state_, key + kXkbKeycodeOffset, XKB_KEY_DOWN);
  }
}

}  // namespace dralmin
