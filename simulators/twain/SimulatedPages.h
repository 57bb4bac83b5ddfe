#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/scanning/Twain.h"

namespace dralmin::sim {

struct PageFormat {
  int bits = 24;
  int32_t width = 0;
  int32_t height = 0;
};

// Pages as "BITSxWIDTHxHEIGHT" separated by commas, e.g. "24x2480x3508,8x640x480". Bit counts
// 1, 4, 8, 16, 24 and 32 are drawn; malformed entries are skipped with a note on standard error.
std::vector<PageFormat> ParsePages(const std::string& text);

// The page's description as a source reports it before the transfer.
TW_IMAGEINFO ImageInfoOf(const PageFormat& page);

// Draws the page as a packed bottom-up DIB into memory from `allocate` (a gradient with a
// rectangle, a disc and a bar on it; palettes for 1, 4 and 8 bits). Null when memory is short.
TW_HANDLE DrawPage(const PageFormat& page, DSM_MEMALLOCATE allocate, DSM_MEMLOCK lock,
                   DSM_MEMUNLOCK unlock);

}  // namespace dralmin::sim
