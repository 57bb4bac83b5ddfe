#include "devices/scanning/CDIB.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "platform/MemoryHandle.h"

namespace dralmin {

namespace {

// BITMAPINFOHEADER field offsets.
constexpr std::size_t kBiSize = 0;
constexpr std::size_t kBiWidth = 4;
constexpr std::size_t kBiHeight = 8;
constexpr std::size_t kBiBitCount = 14;
constexpr std::size_t kBiCompression = 16;
constexpr std::size_t kBiClrUsed = 32;

template <typename T>
T Read(const uint8_t* header, std::size_t offset) {
  T value;
  std::memcpy(&value, header + offset, sizeof(value));
  return value;
}

template <typename T>
void Write(uint8_t* header, std::size_t offset, T value) {
  std::memcpy(header + offset, &value, sizeof(value));
}

}  // namespace

CDIB::~CDIB() {
  Free();
}

void CDIB::Free() {
  block_.reset();
  pixels_.reset();
  if (viewed_ != nullptr) UnlockMemory(viewed_);
  viewed_ = nullptr;
  rows_.clear();
  rows_.shrink_to_fit();
  bits_ = nullptr;
  info_ = nullptr;
  colourTable_ = nullptr;
  height_ = stride_ = width_ = bitCount_ = colourCount_ = 0;
}

bool CDIB::Refuse(const char* text) {
  Free();
  refusal_ = text;
  return false;
}

bool CDIB::LoadFromHandle(TW_HANDLE handle) {
  const void* data = LockMemory(handle);
  const bool loaded = LoadFromMemory(data, data != nullptr ? MemorySize(handle) : 0);
  UnlockMemory(handle);
  return loaded;
}

bool CDIB::ViewHandle(TW_HANDLE handle) {
  const void* data = LockMemory(handle);
  const bool loaded = Load(data, data != nullptr ? MemorySize(handle) : 0, false);
  if (loaded) {
    viewed_ = handle;
  } else {
    UnlockMemory(handle);
  }
  return loaded;
}

bool CDIB::LoadFromMemory(const void* data, std::size_t size) {
  return Load(data, size, true);
}

bool CDIB::Load(const void* data, std::size_t size, bool copyPixels) {
  Free();
  refusal_ = "";
  const auto* source = static_cast<const uint8_t*>(data);
  if (source == nullptr || size < kHeaderSize) return Refuse("Error create");

  const auto headerSize = Read<uint32_t>(source, kBiSize);
  const auto width = Read<int32_t>(source, kBiWidth);
  const auto height = Read<int32_t>(source, kBiHeight);
  const auto bitCount = Read<uint16_t>(source, kBiBitCount);
  const auto compression = Read<uint32_t>(source, kBiCompression);
  const auto clrUsed = Read<uint32_t>(source, kBiClrUsed);

  if (compression != 0) return Refuse("Invalid compression");
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24) {
    return Refuse("Invalid bit count");
  }
  // A negative height marks rows stored top row first.
  if (width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min()) {
    return Refuse("Error create");
  }
  const bool topDown = height < 0;
  const uint64_t rows = static_cast<uint64_t>(topDown ? -int64_t{height} : int64_t{height});

  const uint64_t stride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
  const int tableEntries = bitCount <= 8 ? 1 << bitCount : 0;
  // A shorter table may be declared; the pixel rows then follow that shorter table. A true-colour
  // DIB may carry one too (a hint for palette displays): its pixels follow it, and it is dropped.
  uint64_t sourceEntries = static_cast<uint64_t>(tableEntries);
  if (tableEntries == 0 || (clrUsed != 0 && clrUsed < sourceEntries)) sourceEntries = clrUsed;
  const uint64_t keptEntries = std::min(sourceEntries, static_cast<uint64_t>(tableEntries));
  // Longer (later version) headers keep the colour table after themselves.
  const uint64_t sourceHeader = headerSize > kHeaderSize ? headerSize : kHeaderSize;

  uint64_t pixelBytes = 0;
  uint64_t needed = 0;
  if (__builtin_mul_overflow(stride, rows, &pixelBytes) ||
      __builtin_add_overflow(pixelBytes, sourceHeader + sourceEntries * 4, &needed) ||
      needed > size || stride > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return Refuse("Error create");
  }

  const std::size_t tableBytes = static_cast<std::size_t>(tableEntries) * 4;
  block_.reset(new (std::nothrow) uint8_t[kHeaderSize + tableBytes]);
  if (!block_) return Refuse("Error create");
  const uint8_t* sourceBits = source + sourceHeader + sourceEntries * 4;
  if (copyPixels) {
    pixels_.reset(new (std::nothrow) uint8_t[static_cast<std::size_t>(pixelBytes)]);
    if (!pixels_) return Refuse("Error create");
    std::memcpy(pixels_.get(), sourceBits, static_cast<std::size_t>(pixelBytes));
    sourceBits = pixels_.get();
  }
  try {
    rows_.resize(static_cast<std::size_t>(rows));
  } catch (const std::bad_alloc&) {
    return Refuse("Error create");
  }

  info_ = block_.get();
  colourTable_ = info_ + kHeaderSize;
  bits_ = sourceBits;

  std::memcpy(info_, source, kHeaderSize);
  Write<uint32_t>(info_, kBiSize, kHeaderSize);
  Write<uint32_t>(info_, kBiClrUsed, 0);
  std::memset(colourTable_, 0, tableBytes);
  std::memcpy(colourTable_, source + sourceHeader, static_cast<std::size_t>(keptEntries) * 4);

  width_ = width;
  height_ = static_cast<int32_t>(rows);
  stride_ = static_cast<int32_t>(stride);
  bitCount_ = bitCount;
  colourCount_ = tableEntries;
  for (uint64_t j = 0; j < rows; ++j) {
    const uint64_t stored = topDown ? j : rows - 1 - j;
    rows_[static_cast<std::size_t>(j)] = bits_ + stored * stride;
  }
  return true;
}

}  // namespace dralmin
