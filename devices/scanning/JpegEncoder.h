#pragma once

#include <cstdint>
#include <string>

namespace dralmin {

class CDIB;

// Failure codes shown to the user as "Jpeg convertion error: 0x%08X".
inline constexpr uint32_t kJpegFailed = 0x80004005;    // nothing to encode, or the encoder failed
inline constexpr uint32_t kJpegNoMemory = 0x8007000E;  // the encoder ran out of memory

struct JpegResult {
  std::string bytes;     // a complete JPEG file; empty on failure
  uint32_t failure = 0;  // 0, kJpegFailed or kJpegNoMemory
};

// Encodes the held image as a full-colour JPEG file at the encoder's default quality (75):
// 24-bit rows as they are, colour-table images expanded through their table.
JpegResult EncodeJpeg(const CDIB& dib);

}  // namespace dralmin
