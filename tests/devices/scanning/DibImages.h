#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devices/scanning/ScanQueue.h"
#include "platform/MessageBox.h"

namespace dralmin::test {

// How to lay out a packed DIB for a test; the defaults make a plain bottom-up DIB.
struct DibLayout {
  DibLayout(int bits_, int32_t width_, int32_t height_)
      : bits(bits_), width(width_), height(height_) {}
  int bits = 24;
  int32_t width = 1;
  int32_t height = 1;             // negative: rows stored top row first
  std::vector<uint32_t> palette;  // 0xRRGGBB entries, written as given
  uint32_t clrUsed = 0;
  uint32_t compression = 0;
  uint32_t headerSize = 40;
};

// Builds the DIB; `pixel(x, y)` (y counted from the top) is a palette index for up to 8 bits
// and 0xRRGGBB for 24 bits.
std::vector<uint8_t> BuildDib(const DibLayout& layout,
                              const std::function<uint32_t(int, int)>& pixel);

struct DecodedJpeg {
  bool ok = false;
  int width = 0;
  int height = 0;
  int components = 0;
  int firstLuminanceQuant = 0;  // quantiser of the DC coefficient, reveals the quality
  std::vector<uint8_t> rgb;

  uint32_t At(int x, int y) const;  // 0xRRGGBB
};

DecodedJpeg DecodeJpeg(const std::string& bytes);

// True when every channel of the two colours differs by at most `tolerance`.
bool Near(uint32_t a, uint32_t b, int tolerance = 12);

// Records what the user would have been shown.
class RecordingMessageBox final : public MessageBox {
 public:
  void Show(const std::string& text, const std::string& caption) override {
    shown.emplace_back(text, caption);
  }
  std::vector<std::pair<std::string, std::string>> shown;
};

// The oldest queued page's bytes, taken out of the queue as an upload takes it.
inline std::optional<std::string> TakePage(ScanQueue& queue) {
  const std::optional<QueuedPage> page = queue.Front();
  if (!page) return std::nullopt;
  PageRead read = queue.Read(*page);
  if (read.outcome != PageRead::Outcome::kRead) return std::nullopt;
  queue.Remove(*page);
  return std::move(read.bytes);
}

}  // namespace dralmin::test
