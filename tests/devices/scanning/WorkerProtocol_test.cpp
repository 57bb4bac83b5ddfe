#include "devices/scanning/worker/WorkerProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace dralmin::worker {
namespace {

// Bytes to read frames from; counts what the reader asked for.
class Bytes final : public ByteSource {
 public:
  explicit Bytes(std::string bytes) : bytes_(std::move(bytes)) {}
  std::size_t ReadExactly(void* data, std::size_t size) override {
    asked += size;
    const std::size_t n = std::min(size, bytes_.size() - at_);
    std::memcpy(data, bytes_.data() + at_, n);
    at_ += n;
    return n;
  }
  std::size_t asked = 0;

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

std::string Header(uint32_t type, uint32_t length) {
  std::string frame = EncodeFrame(static_cast<FrameType>(type));
  for (int i = 0; i < 4; ++i) frame[4 + i] = static_cast<char>(length >> (8 * i));
  return frame;
}

TEST(WorkerProtocolTest, FramesAndTheirPayloadsReadBackAsWritten) {
  const std::string page(kMinPageBytes + 3, '\xab');
  Bytes bytes(EncodeFrame(FrameType::kSources, EncodeNames({"Flatbed", "", "Feeder 2"})) +
              EncodeFrame(FrameType::kPageTaken, EncodeFlag(true)) +
              EncodeFrame(FrameType::kLog, EncodeLog(1, "the source refused")) +
              EncodeFrame(FrameType::kPage, page) + EncodeFrame(FrameType::kAcquire));
  std::string error;
  std::optional<Frame> frame = ReadFrame(bytes, error);
  ASSERT_TRUE(frame) << error;
  EXPECT_EQ(frame->type, FrameType::kSources);
  EXPECT_EQ(DecodeNames(frame->payload, error),
            (std::vector<std::string>{"Flatbed", "", "Feeder 2"}));
  frame = ReadFrame(bytes, error);
  ASSERT_TRUE(frame) << error;
  EXPECT_EQ(DecodeFlag(frame->payload, error), true);
  frame = ReadFrame(bytes, error);
  ASSERT_TRUE(frame) << error;
  const std::optional<LogLine> line = DecodeLog(frame->payload, error);
  ASSERT_TRUE(line) << error;
  EXPECT_EQ(line->level, 1);
  EXPECT_EQ(line->text, "the source refused");
  frame = ReadFrame(bytes, error);
  ASSERT_TRUE(frame) << error;
  EXPECT_EQ(frame->type, FrameType::kPage);
  EXPECT_EQ(frame->payload, page);
  frame = ReadFrame(bytes, error);
  ASSERT_TRUE(frame) << error;
  EXPECT_EQ(frame->type, FrameType::kAcquire);
  EXPECT_FALSE(ReadFrame(bytes, error));
  EXPECT_EQ(error, "");  // ended between frames: no fault
}

TEST(WorkerProtocolTest, AnOversizedFrameIsRefusedBeforeItsPayloadIsRead) {
  for (const auto& [type, length] : {std::pair{FrameType::kPage, kMaxPageBytes + 1},
                                     std::pair{FrameType::kLog, kMaxControlBytes + 1},
                                     std::pair{FrameType::kSources, kMaxControlBytes + 1}}) {
    Bytes bytes(Header(static_cast<uint32_t>(type), length) + std::string(64, 'x'));
    std::string error;
    EXPECT_FALSE(ReadFrame(bytes, error));
    EXPECT_NE(error.find("more than"), std::string::npos) << error;
    EXPECT_EQ(bytes.asked, kHeaderSize);
  }
}

TEST(WorkerProtocolTest, UnknownTypesAndLengthsATypeCannotHaveAreRefused) {
  const std::pair<std::string, std::string> cases[] = {
      {Header(7, 0), "unknown type 7"},
      {Header(static_cast<uint32_t>(FrameType::kAcquire), 1) + "x", "more than its 0"},
      {Header(static_cast<uint32_t>(FrameType::kPage), kMinPageBytes - 1) + std::string(39, 'x'),
       "less than its 40"},
      {Header(static_cast<uint32_t>(FrameType::kSelection), 0), "less than its 1"},
  };
  for (const auto& [bytes, why] : cases) {
    Bytes source(bytes);
    std::string error;
    EXPECT_FALSE(ReadFrame(source, error));
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
}

TEST(WorkerProtocolTest, AFrameCutShortIsAFault) {
  const std::string frame = EncodeFrame(FrameType::kPage, std::string(100, 'p'));
  for (std::size_t cut : {std::size_t{3}, kHeaderSize + 10}) {
    Bytes bytes(frame.substr(0, cut));
    std::string error;
    EXPECT_FALSE(ReadFrame(bytes, error));
    EXPECT_NE(error.find("cut short"), std::string::npos) << cut;
  }
}

TEST(WorkerProtocolTest, MalformedPayloadsAreRefused) {
  std::string error;
  EXPECT_FALSE(DecodeNames(std::string("\x05"
                                       "abc",
                                       4),
                           error));  // a name past the end
  EXPECT_FALSE(DecodeNames(std::string(1, '\x22') + std::string(34, 'n'), error));  // too long
  std::string many;
  for (int i = 0; i < 65; ++i) many += EncodeNames({"s"});
  EXPECT_FALSE(DecodeNames(many, error));
  EXPECT_FALSE(DecodeFlag("\x02", error));
  EXPECT_FALSE(DecodeLog("\x09line", error));
  EXPECT_EQ(error, "a malformed log line");
}

}  // namespace
}  // namespace dralmin::worker
