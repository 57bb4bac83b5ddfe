#include "SimulatedPages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace dralmin::sim {

namespace {

struct Rgb {
  int r, g, b;
};

// The picture every page shows, whatever its format: a red-green gradient over a blue ground,
// a dark blue rectangle in the upper left, a red disc in the lower right and a black bar.
Rgb ColourAt(const PageFormat& page, int32_t x, int32_t y) {
  const int64_t w = page.width;
  const int64_t h = page.height;
  if (x >= w / 8 && x < 3 * w / 8 && y >= h / 8 && y < 3 * h / 8) return {20, 20, 160};
  const int64_t dx = x - 2 * w / 3;
  const int64_t dy = y - 2 * h / 3;
  const int64_t radius = (w < h ? w : h) / 6;
  if (dx * dx + dy * dy <= radius * radius) return {200, 30, 30};
  if (y >= 15 * h / 16 && y < 31 * h / 32) return {0, 0, 0};
  const int r = w > 1 ? static_cast<int>(x * 255 / (w - 1)) : 0;
  const int g = h > 1 ? static_cast<int>(y * 255 / (h - 1)) : 0;
  return {r, g, 128};
}

// 8 bits: 3 bits of red, 3 of green and 2 of blue.
Rgb Palette8(int i) {
  return {((i >> 5) & 7) * 255 / 7, ((i >> 2) & 7) * 255 / 7, (i & 3) * 255 / 3};
}
int Index8(Rgb c) {
  return (c.r * 7 / 255) << 5 | (c.g * 7 / 255) << 2 | (c.b * 3 / 255);
}

// 4 bits: the classic sixteen colours (blue, green, red bits and a bright bit).
Rgb Palette4(int i) {
  const int level = (i & 8) != 0 ? 255 : 128;
  return {(i & 4) != 0 ? level : 0, (i & 2) != 0 ? level : 0, (i & 1) != 0 ? level : 0};
}
int Index4(Rgb c) {
  const bool bright = c.r > 191 || c.g > 191 || c.b > 191;
  const int cut = bright ? 191 : 64;
  return (bright ? 8 : 0) | (c.r > cut ? 4 : 0) | (c.g > cut ? 2 : 0) | (c.b > cut ? 1 : 0);
}

// 1 bit: black and white, with an ordered dither so that the gradient still shows.
int Index1(Rgb c, int32_t x, int32_t y) {
  static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  const int luminance = (299 * c.r + 587 * c.g + 114 * c.b) / 1000;
  return luminance * 16 / 256 > kBayer[y % 4][x % 4] ? 1 : 0;
}

template <typename T>
void Put(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof(value));
}

void PutEntry(uint8_t* table, int i, Rgb c) {
  table[4 * i] = static_cast<uint8_t>(c.b);
  table[4 * i + 1] = static_cast<uint8_t>(c.g);
  table[4 * i + 2] = static_cast<uint8_t>(c.r);
  table[4 * i + 3] = 0;
}

}  // namespace

std::vector<PageFormat> ParsePages(const std::string& text) {
  std::vector<PageFormat> pages;
  std::stringstream entries(text);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    PageFormat page;
    char x1 = 0;
    char x2 = 0;
    char extra = 0;
    const int read = std::sscanf(entry.c_str(), " %d%c%d%c%d %c", &page.bits, &x1, &page.width, &x2,
                                 &page.height, &extra);
    const bool bitsOk = page.bits == 1 || page.bits == 4 || page.bits == 8 || page.bits == 16 ||
                        page.bits == 24 || page.bits == 32;
    // The size cap keeps a typing error from asking for gigabytes.
    const bool sizeOk = page.width > 0 && page.height > 0 && page.width <= 100000 &&
                        page.height <= 100000 &&
                        int64_t{page.width} * page.height * page.bits / 8 <= (int64_t{1} << 30);
    if (read != 5 || x1 != 'x' || x2 != 'x' || !bitsOk || !sizeOk) {
      std::fprintf(stderr, "simulated scanner: page \"%s\" skipped (BITSxWIDTHxHEIGHT)\n",
                   entry.c_str());
      continue;
    }
    pages.push_back(page);
  }
  return pages;
}

TW_IMAGEINFO ImageInfoOf(const PageFormat& page) {
  TW_IMAGEINFO info{};
  info.XResolution = {300, 0};
  info.YResolution = {300, 0};
  info.ImageWidth = page.width;
  info.ImageLength = page.height;
  const bool colour = page.bits >= 16;
  info.SamplesPerPixel = colour ? 3 : 1;
  for (int i = 0; i < info.SamplesPerPixel; ++i) {
    info.BitsPerSample[i] = static_cast<TW_INT16>(colour ? (page.bits == 16 ? 5 : 8) : page.bits);
  }
  info.BitsPerPixel = static_cast<TW_INT16>(page.bits);
  info.Planar = TW_FALSE;
  info.PixelType = page.bits == 1 ? TWPT_BW : colour ? TWPT_RGB : TWPT_PALETTE;
  info.Compression = TWCP_NONE;
  return info;
}

TW_HANDLE DrawPage(const PageFormat& page, DSM_MEMALLOCATE allocate, DSM_MEMLOCK lock,
                   DSM_MEMUNLOCK unlock) {
  const int entries = page.bits <= 8 ? 1 << page.bits : 0;
  const std::size_t stride = (static_cast<std::size_t>(page.width) * page.bits + 31) / 32 * 4;
  const std::size_t size =
      40 + 4 * static_cast<std::size_t>(entries) + stride * static_cast<std::size_t>(page.height);
  TW_HANDLE handle = allocate(static_cast<TW_UINT32>(size));
  if (handle == nullptr) return nullptr;
  auto* dib = static_cast<uint8_t*>(lock(handle));

  Put<uint32_t>(dib, 40);
  Put<int32_t>(dib + 4, page.width);
  Put<int32_t>(dib + 8, page.height);
  Put<uint16_t>(dib + 12, 1);
  Put<uint16_t>(dib + 14, static_cast<uint16_t>(page.bits));
  Put<uint32_t>(dib + 20, static_cast<uint32_t>(stride * static_cast<std::size_t>(page.height)));
  Put<int32_t>(dib + 24, 11811);  // 300 dots per inch, in dots per metre
  Put<int32_t>(dib + 28, 11811);

  uint8_t* table = dib + 40;
  for (int i = 0; i < entries; ++i) {
    PutEntry(table, i,
             page.bits == 8   ? Palette8(i)
             : page.bits == 4 ? Palette4(i)
                              : (i != 0 ? Rgb{255, 255, 255} : Rgb{0, 0, 0}));
  }

  uint8_t* bits = table + 4 * entries;
  for (int32_t y = 0; y < page.height; ++y) {
    // Bottom row first.
    uint8_t* row = bits + stride * static_cast<std::size_t>(page.height - 1 - y);
    for (int32_t x = 0; x < page.width; ++x) {
      const Rgb c = ColourAt(page, x, y);
      switch (page.bits) {
        case 32:
          row[4 * x] = static_cast<uint8_t>(c.b);
          row[4 * x + 1] = static_cast<uint8_t>(c.g);
          row[4 * x + 2] = static_cast<uint8_t>(c.r);
          break;
        case 24:
          row[3 * x] = static_cast<uint8_t>(c.b);
          row[3 * x + 1] = static_cast<uint8_t>(c.g);
          row[3 * x + 2] = static_cast<uint8_t>(c.r);
          break;
        case 16:
          Put<uint16_t>(row + 2 * x,
                        static_cast<uint16_t>((c.r >> 3) << 10 | (c.g >> 3) << 5 | (c.b >> 3)));
          break;
        case 8:
          row[x] = static_cast<uint8_t>(Index8(c));
          break;
        case 4:
          row[x / 2] |= static_cast<uint8_t>(Index4(c) << ((x % 2) != 0 ? 0 : 4));
          break;
        default:
          row[x / 8] |= static_cast<uint8_t>(Index1(c, x, y) << (7 - x % 8));
          break;
      }
    }
  }
  unlock(handle);
  return handle;
}

}  // namespace dralmin::sim
