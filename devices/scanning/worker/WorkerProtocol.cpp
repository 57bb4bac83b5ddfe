#include "devices/scanning/worker/WorkerProtocol.h"

namespace dralmin::worker {

namespace {

// A worker's manager lists at most this many sources (CTwain::kMaxListedSources), each name at
// most the protocol's 32 characters and its terminator.
constexpr std::size_t kMaxNames = 64;
constexpr std::size_t kMaxNameBytes = 33;

uint32_t ReadUint32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void AppendUint32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

// The payload lengths a type allows: [least, most].
struct Bounds {
  uint32_t least;
  uint32_t most;
};

std::optional<Bounds> BoundsOf(uint32_t type) {
  switch (static_cast<FrameType>(type)) {
    case FrameType::kListSources:
    case FrameType::kSelectSource:
    case FrameType::kAcquire:
    case FrameType::kReady:
    case FrameType::kAcquireStarted:
    case FrameType::kRunEnded:
      return Bounds{0, 0};
    case FrameType::kPageTaken:
    case FrameType::kSelection:
      return Bounds{1, 1};
    case FrameType::kSources:
    case FrameType::kAcquireFailed:
      return Bounds{0, kMaxControlBytes};
    case FrameType::kLog:
      return Bounds{1, kMaxControlBytes};
    case FrameType::kPage:
      return Bounds{kMinPageBytes, kMaxPageBytes};
  }
  return std::nullopt;
}

template <typename T>
std::optional<T> Refuse(std::string& error, std::string why) {
  error = std::move(why);
  return std::nullopt;
}

}  // namespace

std::optional<Header> ParseHeader(const unsigned char (&bytes)[kHeaderSize], std::string& error) {
  const uint32_t type = ReadUint32(bytes);
  const uint32_t length = ReadUint32(bytes + 4);
  const std::optional<Bounds> bounds = BoundsOf(type);
  if (!bounds) return Refuse<Header>(error, "a frame of unknown type " + std::to_string(type));
  if (length > bounds->most) {
    return Refuse<Header>(error, "a frame of type " + std::to_string(type) + " of " +
                                     std::to_string(length) + " bytes, more than its " +
                                     std::to_string(bounds->most));
  }
  if (length < bounds->least) {
    return Refuse<Header>(error, "a frame of type " + std::to_string(type) + " of " +
                                     std::to_string(length) + " bytes, less than its " +
                                     std::to_string(bounds->least));
  }
  return Header{static_cast<FrameType>(type), length};
}

std::string EncodeFrame(FrameType type, std::string_view payload) {
  std::string frame;
  frame.reserve(kHeaderSize + payload.size());
  AppendUint32(frame, static_cast<uint32_t>(type));
  AppendUint32(frame, static_cast<uint32_t>(payload.size()));
  frame.append(payload);
  return frame;
}

std::string EncodeNames(const std::vector<std::string>& names) {
  std::string payload;
  for (std::size_t i = 0; i < names.size() && i < kMaxNames; ++i) {
    const std::string_view name = std::string_view(names[i]).substr(0, kMaxNameBytes);
    payload.push_back(static_cast<char>(name.size()));
    payload.append(name);
  }
  return payload;
}

std::optional<std::vector<std::string>> DecodeNames(std::string_view payload, std::string& error) {
  std::vector<std::string> names;
  while (!payload.empty()) {
    const std::size_t length = static_cast<unsigned char>(payload[0]);
    payload.remove_prefix(1);
    if (length > kMaxNameBytes || length > payload.size() || names.size() == kMaxNames) {
      return Refuse<std::vector<std::string>>(error, "a malformed list of sources");
    }
    names.emplace_back(payload.substr(0, length));
    payload.remove_prefix(length);
  }
  return names;
}

std::string EncodeFlag(bool flag) {
  return std::string(1, flag ? '\1' : '\0');
}

std::optional<bool> DecodeFlag(std::string_view payload, std::string& error) {
  if (payload.size() != 1 || static_cast<unsigned char>(payload[0]) > 1) {
    return Refuse<bool>(error, "a malformed flag");
  }
  return payload[0] == '\1';
}

std::string EncodeLog(int level, std::string_view line) {
  std::string payload(1, static_cast<char>(level));
  payload.append(line.substr(0, kMaxControlBytes - 1));
  return payload;
}

std::optional<LogLine> DecodeLog(std::string_view payload, std::string& error) {
  // The levels of platform/Log.h: error, warning, info, debug.
  if (payload.empty() || static_cast<unsigned char>(payload[0]) > 3) {
    return Refuse<LogLine>(error, "a malformed log line");
  }
  return LogLine{payload[0], std::string(payload.substr(1))};
}

std::optional<Frame> ReadFrame(ByteSource& source, std::string& error) {
  error.clear();
  unsigned char head[kHeaderSize];
  const std::size_t got = source.ReadExactly(head, sizeof head);
  if (got == 0) return std::nullopt;
  if (got != sizeof head) return Refuse<Frame>(error, "a frame cut short in its header");
  const std::optional<Header> header = ParseHeader(head, error);
  if (!header) return std::nullopt;
  Frame frame{header->type, std::string(header->length, '\0')};
  if (source.ReadExactly(frame.payload.data(), header->length) != header->length) {
    return Refuse<Frame>(error, "a frame cut short: " + std::to_string(header->length) +
                                    " bytes announced, the pipe ended before");
  }
  return frame;
}

}  // namespace dralmin::worker
