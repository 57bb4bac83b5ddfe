#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// Receives each finished code's bytes.
using CodeSink = std::function<void(const std::string& code)>;

// Longer codes are cut to this many bytes: a stuck scanner or a stream of noise must not grow
// the driver's memory or the bus messages without bound.
inline constexpr std::size_t kMaxCodeBytes = 4096;

// The bytes of one code while it is read, from whatever kind of device.
class CodeBuffer {
 public:
  // `source` names the device in messages.
  explicit CodeBuffer(std::string source) : source_(std::move(source)) {}

  // Bytes past kMaxCodeBytes are counted, not kept.
  void Append(std::string_view bytes);
  // Part of the code was lost (events dropped by the kernel): it is discarded at its end
  // rather than passed on wrong.
  void Damage() { damaged_ = true; }
  bool InProgress() const { return !bytes_.empty() || damaged_; }

  // Ends the code and passes it to `sink` unless it is empty, only NUL bytes, or damaged; a cut code is passed on
  // cut, and both are reported on standard error.
  void Finish(const CodeSink& sink);
  // Forgets a code in progress without passing it on (its device went away).
  void Drop();

 private:
  std::string source_;
  std::string bytes_;
  std::size_t cut_ = 0;
  bool damaged_ = false;
};

// A serial scanner's byte stream: each code ends at CR, LF or CR LF; empty lines and lines of only
// NUL bytes are no codes.
// Other bytes, those outside ASCII included, are the code's bytes unchanged.
class SerialFramer {
 public:
  explicit SerialFramer(std::string source) : code_(std::move(source)) {}

  void Feed(std::string_view bytes, const CodeSink& sink);
  // The port went away: the code in progress ends unread.
  void Drop() { code_.Drop(); }

 private:
  CodeBuffer code_;
};

}  // namespace dralmin
