#include "devices/scanning/JpegEncoder.h"

// jpeglib.h needs FILE and size_t declared first.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "devices/scanning/CDIB.h"

namespace dralmin {

namespace {

// libjpeg reports errors by calling error_exit, which must not return: it jumps back to the
// setjmp in Compress. Nothing between the two may own resources that need destructors, so the
// output buffer is plain malloc memory owned by the caller.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  uint32_t failure;
};

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<ErrorManager*>(cinfo->err);
  errors->failure = errors->base.msg_code == JERR_OUT_OF_MEMORY ? kJpegNoMemory : kJpegFailed;
  std::longjmp(errors->jump, 1);
}

void Silent(j_common_ptr) {}

// A growing output buffer.
struct Sink {
  jpeg_destination_mgr base;
  unsigned char* data;
  std::size_t capacity;
  std::size_t size;
};

constexpr std::size_t kFirstCapacity = 256 * 1024;

[[noreturn]] void OutOfMemory(j_compress_ptr cinfo) {
  cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
  cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
  std::abort();  // error_exit never returns
}

void InitSink(j_compress_ptr cinfo) {
  auto* sink = reinterpret_cast<Sink*>(cinfo->dest);
  sink->data = static_cast<unsigned char*>(std::malloc(kFirstCapacity));
  if (sink->data == nullptr) OutOfMemory(cinfo);
  sink->capacity = kFirstCapacity;
  sink->base.next_output_byte = sink->data;
  sink->base.free_in_buffer = sink->capacity;
}

boolean GrowSink(j_compress_ptr cinfo) {
  auto* sink = reinterpret_cast<Sink*>(cinfo->dest);
  // libjpeg calls this only with the buffer full.
  const std::size_t used = sink->capacity;
  auto* grown = static_cast<unsigned char*>(std::realloc(sink->data, sink->capacity * 2));
  if (grown == nullptr) OutOfMemory(cinfo);
  sink->data = grown;
  sink->capacity *= 2;
  sink->base.next_output_byte = sink->data + used;
  sink->base.free_in_buffer = sink->capacity - used;
  return TRUE;
}

void TermSink(j_compress_ptr cinfo) {
  auto* sink = reinterpret_cast<Sink*>(cinfo->dest);
  sink->size = sink->capacity - sink->base.free_in_buffer;
}

// Expands one colour-table row into blue, green, red, pad quadruples.
void ExpandRow(const CDIB& dib, int32_t row, unsigned char* out) {
  const uint8_t* in = dib.Row(row);
  const uint8_t* table = dib.ColourTable();
  const int bits = dib.BitCount();
  const int perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  for (int32_t x = 0; x < dib.Width(); ++x) {
    // The leftmost pixel sits in the byte's high bits.
    const int shift = 8 - bits * (x % perByte + 1);
    const unsigned index = (in[x / perByte] >> shift) & mask;
    std::memcpy(out + 4 * static_cast<std::size_t>(x), table + 4 * index, 4);
  }
}

bool Compress(const CDIB& dib, unsigned char* scratch, Sink& sink, uint32_t& failure) {
  jpeg_compress_struct cinfo;
  ErrorManager errors;
  cinfo.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnError;
  errors.base.output_message = Silent;
  errors.failure = kJpegFailed;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    failure = errors.failure;
    return false;
  }
  jpeg_create_compress(&cinfo);
  sink.base.init_destination = InitSink;
  sink.base.empty_output_buffer = GrowSink;
  sink.base.term_destination = TermSink;
  cinfo.dest = &sink.base;

  const bool trueColour = dib.BitCount() == 24;
  cinfo.image_width = static_cast<JDIMENSION>(dib.Width());
  cinfo.image_height = static_cast<JDIMENSION>(dib.Height());
  // DIB pixels are stored blue first.
  cinfo.input_components = trueColour ? 3 : 4;
  cinfo.in_color_space = trueColour ? JCS_EXT_BGR : JCS_EXT_BGRX;
  jpeg_set_defaults(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    const auto row = static_cast<int32_t>(cinfo.next_scanline);
    JSAMPROW line = scratch;
    if (trueColour) {
      line = const_cast<JSAMPROW>(dib.Row(row));  // libjpeg only reads input rows
    } else {
      ExpandRow(dib, row, scratch);
    }
    jpeg_write_scanlines(&cinfo, &line, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

JpegResult EncodeJpeg(const CDIB& dib) {
  JpegResult result;
  if (!dib.IsLoaded()) {
    result.failure = kJpegFailed;
    return result;
  }
  std::vector<unsigned char> scratch;
  try {
    if (dib.BitCount() != 24) scratch.resize(4 * static_cast<std::size_t>(dib.Width()));
  } catch (const std::bad_alloc&) {
    result.failure = kJpegNoMemory;
    return result;
  }
  Sink sink{};
  const bool ok = Compress(dib, scratch.data(), sink, result.failure);
  if (ok) {
    try {
      result.bytes.assign(reinterpret_cast<const char*>(sink.data), sink.size);
    } catch (const std::bad_alloc&) {
      result.failure = kJpegNoMemory;
    }
  }
  std::free(sink.data);
  return result;
}

}  // namespace dralmin
