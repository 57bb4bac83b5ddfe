#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dralmin::worker {

// The frames the agent and its 32-bit TWAIN worker exchange over their pipe: an 8-byte header
// (type, then payload length, both 32-bit little-endian) and the payload. Both programs build
// this file; it makes no system call, so that the agent's side and the checks run anywhere.
enum class FrameType : uint32_t {
  // Agent to worker.
  kListSources = 1,   // no payload
  kSelectSource = 2,  // no payload: the worker's manager shows its selection dialog
  kAcquire = 3,       // no payload
  kPageTaken = 4,     // a flag: the agent kept the last page (false ends the run)
  // Worker to agent.
  kReady = 100,           // no payload: the worker's manager is loaded and open
  kSources = 101,         // the names, each a length byte and the bytes
  kSelection = 102,       // a flag: a source is chosen
  kAcquireStarted = 103,  // no payload
  kAcquireFailed = 104,   // text: why
  kPage = 105,            // one packed DIB, the bytes exactly as the source gave them
  kRunEnded = 106,        // no payload: the run of pages ended (the source was disabled)
  kLog = 107,             // a level byte (platform/Log.h's values) and the line
};

inline constexpr std::size_t kHeaderSize = 8;
// A page's DIB: an A4 page at 600 dots per inch in colour is about 100 MiB; a larger one is not
// taken from a worker (an in-process source's is still limited only by CTwain's width bound).
inline constexpr uint32_t kMaxPageBytes = 256u << 20;
// Every other frame: 64 source names of 32 characters fit, and a log line of platform/Log.h's
// length.
inline constexpr uint32_t kMaxControlBytes = 8192;
// A page shorter than its BITMAPINFOHEADER is no DIB.
inline constexpr uint32_t kMinPageBytes = 40;

struct Header {
  FrameType type;
  uint32_t length;
};

struct Frame {
  FrameType type;
  std::string payload;
};

// The header's type and length, or nullopt with `error` saying what is wrong (an unknown type,
// a length past the type's bound or below what it needs). Checked before the payload is read, so
// that a peer cannot make the reader hold more than the bound.
std::optional<Header> ParseHeader(const unsigned char (&bytes)[kHeaderSize], std::string& error);

// A whole frame for the pipe.
std::string EncodeFrame(FrameType type, std::string_view payload = {});

// Payloads. Each decoder gives nullopt, with `error`, for a malformed payload.
std::string EncodeNames(const std::vector<std::string>& names);
std::optional<std::vector<std::string>> DecodeNames(std::string_view payload, std::string& error);
std::string EncodeFlag(bool flag);
std::optional<bool> DecodeFlag(std::string_view payload, std::string& error);
std::string EncodeLog(int level, std::string_view line);
struct LogLine {
  int level;
  std::string text;
};
std::optional<LogLine> DecodeLog(std::string_view payload, std::string& error);

// Where frames are read from: the pipe, or a test's bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills up to `size` bytes, waiting for them; fewer only when the stream ended or failed.
  virtual std::size_t ReadExactly(void* data, std::size_t size) = 0;
};

// Reads one frame. nullopt when the stream ended at a frame's start (`error` empty) or the frame
// is refused or cut short (`error` says why); the connection is failed then.
std::optional<Frame> ReadFrame(ByteSource& source, std::string& error);

}  // namespace dralmin::worker
