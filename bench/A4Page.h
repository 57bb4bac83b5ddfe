#pragma once

#include <cstdint>
#include <cstring>

#include "devices/scanning/Twain.h"
#include "platform/MemoryHandle.h"

namespace dralmin::bench {

constexpr int32_t kA4Width = 2480;  // A4 at 300 dpi
constexpr int32_t kA4Height = 3508;

// A packed DIB with a gradient and some grain, so the encoder sees something like paper. The
// caller frees the handle.
inline TW_HANDLE A4Page(int bits) {
  const int entries = bits <= 8 ? 1 << bits : 0;
  const std::size_t stride = (static_cast<std::size_t>(kA4Width) * bits + 31) / 32 * 4;
  const std::size_t size = 40 + 4 * entries + stride * kA4Height;
  TW_HANDLE handle = AllocateMemory(size);
  auto* dib = static_cast<uint8_t*>(LockMemory(handle));
  const uint32_t header[10] = {
      40, kA4Width, kA4Height, (static_cast<uint32_t>(bits) << 16) | 1, 0, 0, 0, 0, 0, 0};
  std::memcpy(dib, header, sizeof(header));
  for (int i = 0; i < entries; ++i) {
    dib[40 + 4 * i] = dib[41 + 4 * i] = dib[42 + 4 * i] = static_cast<uint8_t>(i);
  }
  uint8_t* bits0 = dib + 40 + 4 * entries;
  uint32_t grain = 12345;
  for (int32_t y = 0; y < kA4Height; ++y) {
    uint8_t* row = bits0 + stride * y;
    for (std::size_t i = 0; i < stride; ++i) {
      grain = grain * 1103515245 + 12345;
      row[i] = static_cast<uint8_t>((i * 255 / stride + y * 255 / kA4Height) / 2 + (grain >> 28));
    }
  }
  UnlockMemory(handle);
  return handle;
}

}  // namespace dralmin::bench
