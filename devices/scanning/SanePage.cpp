#include "devices/scanning/SanePage.h"

#include <algorithm>
#include <cstring>

namespace dralmin {
namespace {

int Channels(SANE_Frame format) {
  return format == SANE_FRAME_RGB ? 3 : 1;
}

// Which colour a one-colour frame of a three-pass page carries; -1 for other frames.
int ColourOf(SANE_Frame format) {
  switch (format) {
    case SANE_FRAME_RED:
      return 0;
    case SANE_FRAME_GREEN:
      return 1;
    case SANE_FRAME_BLUE:
      return 2;
    default:
      return -1;
  }
}

// Sample i of a line as 8 bits. 16-bit samples are in host order; their high byte is kept. A set
// bit of a 1-bit grey line is black, of a 1-bit colour line full intensity.
template <int Depth>
uint8_t Sample(const uint8_t* line, std::size_t i, bool grey) {
  if constexpr (Depth == 8) {
    return line[i];
  } else if constexpr (Depth == 16) {
    uint16_t value;
    std::memcpy(&value, line + 2 * i, sizeof(value));
    return static_cast<uint8_t>(value >> 8);
  } else {
    const bool set = (line[i / 8] >> (7 - i % 8)) & 1;
    return set != grey ? 255 : 0;
  }
}

template <int Depth>
void Convert(const uint8_t* line, uint8_t* rgb, std::size_t width, int channels, bool grey) {
  if (channels == 3) {
    for (std::size_t i = 0; i < 3 * width; ++i) rgb[i] = Sample<Depth>(line, i, false);
  } else {
    for (std::size_t x = 0; x < width; ++x) {
      const uint8_t v = Sample<Depth>(line, x, grey);
      rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = v;
    }
  }
}

template <int Depth>
void ConvertColour(const uint8_t* line, uint8_t* rgb, std::size_t width, int colour) {
  for (std::size_t x = 0; x < width; ++x) rgb[3 * x + colour] = Sample<Depth>(line, x, false);
}

}  // namespace

bool SanePage::BeginFrame(const SANE_Parameters& p, std::string& why) {
  const int colour = ColourOf(p.format);
  if (p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB && colour < 0) {
    why = "frame kind " + std::to_string(p.format) + " is not an image";
    return false;
  }
  if (p.depth != 1 && p.depth != 8 && p.depth != 16) {
    why = "depth " + std::to_string(p.depth) + " is not 1, 8 or 16 bits";
    return false;
  }
  const auto width = static_cast<std::size_t>(std::max(p.pixels_per_line, 0));
  const std::size_t needed = (width * Channels(p.format) * p.depth + 7) / 8;
  if (width == 0 || p.bytes_per_line <= 0 || static_cast<std::size_t>(p.bytes_per_line) < needed) {
    why = "lines of " + std::to_string(p.bytes_per_line) + " bytes for " + std::to_string(width) +
          " pixels";
    return false;
  }
  if (started_ && (colour < 0 || ColourOf(frame_.format) < 0 || width != width_)) {
    why = "a later frame does not match the page's first";
    return false;
  }
  if (!started_) {
    width_ = width;
    height_ = p.lines > 0 ? static_cast<std::size_t>(p.lines) : 0;
    streaming_ = colour < 0 && height_ > 0;
    if (streaming_ &&
        !encoder_.Start(static_cast<uint32_t>(width_), static_cast<uint32_t>(height_))) {
      why = "the JPEG encoder refused a page of " + std::to_string(width_) + "x" +
            std::to_string(height_);
      return false;
    }
    rgb_.assign(3 * width_, 0);
    started_ = true;
  }
  frame_ = p;
  row_ = 0;
  line_.assign(static_cast<std::size_t>(p.bytes_per_line), 0);
  lineFill_ = 0;
  return true;
}

void SanePage::Add(const uint8_t* data, std::size_t size) {
  const std::size_t length = line_.size();
  if (lineFill_ > 0) {
    const std::size_t take = std::min(length - lineFill_, size);
    std::memcpy(line_.data() + lineFill_, data, take);
    lineFill_ += take;
    data += take;
    size -= take;
    if (lineFill_ < length) return;
    TakeLine(line_.data());
    lineFill_ = 0;
  }
  // Whole lines are converted where sane_read put them.
  for (; size >= length; data += length, size -= length) TakeLine(data);
  std::memcpy(line_.data(), data, size);
  lineFill_ = size;
}

void SanePage::ToRgb(const uint8_t* line, uint8_t* rgb) const {
  const int channels = Channels(frame_.format);
  const bool grey = frame_.format == SANE_FRAME_GRAY;
  switch (frame_.depth) {
    case 8:
      Convert<8>(line, rgb, width_, channels, grey);
      break;
    case 16:
      Convert<16>(line, rgb, width_, channels, grey);
      break;
    default:
      Convert<1>(line, rgb, width_, channels, grey);
      break;
  }
}

uint8_t* SanePage::HeldRow(std::size_t row) {
  if (row >= heldRows_) {
    // A page of unknown height grows by whole rows, white until a frame fills them.
    held_.resize(3 * width_ * (row + 1), 255);
    heldRows_ = row + 1;
  }
  return held_.data() + 3 * width_ * row;
}

void SanePage::TakeLine(const uint8_t* line) {
  const std::size_t row = row_++;
  if (height_ > 0 && row >= height_) return;  // more lines than announced: not part of the page
  const int colour = ColourOf(frame_.format);
  if (colour >= 0) {
    uint8_t* target = HeldRow(row);
    switch (frame_.depth) {
      case 8:
        ConvertColour<8>(line, target, width_, colour);
        break;
      case 16:
        ConvertColour<16>(line, target, width_, colour);
        break;
      default:
        ConvertColour<1>(line, target, width_, colour);
        break;
    }
    return;
  }
  // 8-bit colour lines are already what the encoder takes.
  const bool asIs = frame_.format == SANE_FRAME_RGB && frame_.depth == 8;
  if (streaming_) {
    if (asIs) {
      encoder_.WriteRow(line);
    } else {
      ToRgb(line, rgb_.data());
      encoder_.WriteRow(rgb_.data());
    }
  } else {
    ToRgb(line, HeldRow(row));
  }
}

bool SanePage::EndFrame() {
  if (frame_.last_frame == SANE_FALSE) return false;
  finished_ = true;
  return true;
}

std::string SanePage::Finish() {
  if (!finished_) return {};
  if (streaming_) {
    // A page that ended early is completed in white, the colour of paper.
    if (encoder_.Rows() < height_) {
      std::fill(rgb_.begin(), rgb_.end(), 255);
      while (encoder_.Rows() < height_ && encoder_.WriteRow(rgb_.data())) {
      }
    }
    return encoder_.Finish();
  }
  const std::size_t rows = height_ > 0 ? height_ : heldRows_;
  if (rows == 0 || !encoder_.Start(static_cast<uint32_t>(width_), static_cast<uint32_t>(rows))) {
    return {};
  }
  for (std::size_t row = 0; row < rows; ++row) {
    if (!encoder_.WriteRow(HeldRow(row))) return {};
  }
  return encoder_.Finish();
}

}  // namespace dralmin
