#include "DibImages.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace dralmin::test {

namespace {

template <typename T>
void Put(std::vector<uint8_t>& out, std::size_t offset, T value) {
  std::memcpy(out.data() + offset, &value, sizeof(value));
}

struct DecodeErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void DecodeFailed(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->jump, 1);
}

bool Decode(const std::string& bytes, DecodedJpeg& out) {
  jpeg_decompress_struct cinfo;
  DecodeErrors errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = DecodeFailed;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.num_components;
  out.firstLuminanceQuant = cinfo.quant_tbl_ptrs[0] ? cinfo.quant_tbl_ptrs[0]->quantval[0] : 0;
  out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * out.width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

std::vector<uint8_t> BuildDib(const DibLayout& layout,
                              const std::function<uint32_t(int, int)>& pixel) {
  const int32_t rows = layout.height < 0 ? -layout.height : layout.height;
  const std::size_t stride = (static_cast<std::size_t>(layout.width) * layout.bits + 31) / 32 * 4;
  const std::size_t tableBytes = layout.palette.size() * 4;
  std::vector<uint8_t> dib(layout.headerSize + tableBytes + stride * rows, 0);
  Put<uint32_t>(dib, 0, layout.headerSize);
  Put<int32_t>(dib, 4, layout.width);
  Put<int32_t>(dib, 8, layout.height);
  Put<uint16_t>(dib, 12, 1);
  Put<uint16_t>(dib, 14, static_cast<uint16_t>(layout.bits));
  Put<uint32_t>(dib, 16, layout.compression);
  Put<uint32_t>(dib, 32, layout.clrUsed);
  for (std::size_t i = 0; i < layout.palette.size(); ++i) {
    const uint32_t c = layout.palette[i];
    uint8_t* entry = dib.data() + layout.headerSize + 4 * i;
    entry[0] = c & 0xFF;
    entry[1] = (c >> 8) & 0xFF;
    entry[2] = (c >> 16) & 0xFF;
  }
  uint8_t* bits = dib.data() + layout.headerSize + tableBytes;
  for (int32_t y = 0; y < rows; ++y) {
    uint8_t* row = bits + stride * static_cast<std::size_t>(layout.height < 0 ? y : rows - 1 - y);
    for (int32_t x = 0; x < layout.width; ++x) {
      const uint32_t v = pixel(x, y);
      if (layout.bits == 24) {
        row[3 * x] = v & 0xFF;
        row[3 * x + 1] = (v >> 8) & 0xFF;
        row[3 * x + 2] = (v >> 16) & 0xFF;
      } else if (layout.bits <= 8) {
        const int perByte = 8 / layout.bits;
        const int shift = 8 - layout.bits * (x % perByte + 1);
        row[x / perByte] |= static_cast<uint8_t>(v << shift);
      }
    }
  }
  return dib;
}

uint32_t DecodedJpeg::At(int x, int y) const {
  const uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

DecodedJpeg DecodeJpeg(const std::string& bytes) {
  DecodedJpeg out;
  if (!bytes.empty()) out.ok = Decode(bytes, out);
  return out;
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
  for (int shift : {0, 8, 16}) {
    const int ca = static_cast<int>((a >> shift) & 0xFF);
    const int cb = static_cast<int>((b >> shift) & 0xFF);
    if (ca - cb > tolerance || cb - ca > tolerance) return false;
  }
  return true;
}

}  // namespace dralmin::test
