#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "devices/scanning/Twain.h"

namespace dralmin {

// One packed DIB (a 40-byte BITMAPINFOHEADER, its colour table, the pixel rows), readable top
// row first whatever the source's row order. The header and colour table are always held as a
// copy; the pixel rows are either copied or read in place from the source's memory block. Only
// uncompressed 1, 4, 8 and 24-bit images are taken; a refusal leaves its reason, in the words
// the user is shown, for the caller to show.
class CDIB {
 public:
  static constexpr std::size_t kHeaderSize = 40;

  CDIB() = default;
  ~CDIB();
  CDIB(const CDIB&) = delete;
  CDIB& operator=(const CDIB&) = delete;

  // Replaces the held image with a copy of the DIB in the memory block (platform/MemoryHandle.h).
  // False, with nothing held and the reason in Refusal(), when the DIB is refused.
  bool LoadFromHandle(TW_HANDLE handle);
  // The same for a DIB of `size` bytes at `data`.
  bool LoadFromMemory(const void* data, std::size_t size);
  // Like LoadFromHandle, but the pixel rows are read where they are: the block stays locked until
  // the image is replaced or this holder ends, and must outlive both. A transferred page is
  // converted this way, without a copy of its tens of megabytes.
  bool ViewHandle(TW_HANDLE handle);

  bool IsLoaded() const { return block_ != nullptr; }
  // Why the last load was refused ("Invalid compression", "Invalid bit count", "Error create");
  // empty after a load that succeeded.
  const char* Refusal() const { return refusal_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }  // the number of rows, positive for either order
  int32_t Stride() const { return stride_; }  // bytes per row, whole 32-bit words
  int32_t BitCount() const { return bitCount_; }

  // Row j, counted from the top of the image.
  const uint8_t* Row(int32_t j) const { return rows_[static_cast<std::size_t>(j)]; }

  // The colour table: 2, 16 or 256 entries of blue, green, red and a reserved byte, by bit
  // count (none for 24 bits). Entries the DIB did not provide are black.
  const uint8_t* ColourTable() const { return colourTable_; }
  int ColourCount() const { return colourCount_; }

  // The held DIB's header (biSize 40, biClrUsed 0 for the full table).
  const uint8_t* Info() const { return info_; }

 private:
  void Free();
  bool Refuse(const char* text);
  bool Load(const void* data, std::size_t size, bool copyPixels);

  const char* refusal_ = "";
  const uint8_t* bits_ = nullptr;
  uint8_t* info_ = nullptr;
  uint8_t* colourTable_ = nullptr;
  std::unique_ptr<uint8_t[]> block_;   // header and colour table
  std::unique_ptr<uint8_t[]> pixels_;  // the copied rows, when copied
  TW_HANDLE viewed_ = nullptr;         // the locked block the rows are read from, when viewed
  std::vector<const uint8_t*> rows_;
  int32_t height_ = 0;
  int32_t stride_ = 0;
  int32_t width_ = 0;
  int32_t bitCount_ = 0;
  int colourCount_ = 0;
};

}  // namespace dralmin
