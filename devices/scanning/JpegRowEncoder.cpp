#include "devices/scanning/JpegRowEncoder.h"

// jpeglib.h needs FILE and size_t declared first.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include <jpeglib.h>

namespace dralmin {

// libjpeg reports errors through error_exit, which must not return: it jumps back to the setjmp
// of the method that called into the library. Those methods own nothing with a destructor.
//
// The output goes through a small buffer that stays in the cache into the file's string, whose
// room is reserved up front: growing a large block step by step would copy it and touch fresh
// memory several times a page.
struct JpegRowEncoder::State {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  jpeg_destination_mgr sink{};
  std::jmp_buf jump{};
  std::string file;
  unsigned char chunk[64 * 1024];
  bool created = false;
  bool started = false;
  bool failed = false;

  ~State() {
    if (created) jpeg_destroy_compress(&cinfo);
  }
};

namespace {

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* state = static_cast<JpegRowEncoder::State*>(cinfo->client_data);
  std::longjmp(state->jump, 1);
}

void Silent(j_common_ptr) {}

JpegRowEncoder::State& StateOf(j_compress_ptr cinfo) {
  return *static_cast<JpegRowEncoder::State*>(cinfo->client_data);
}

void InitSink(j_compress_ptr cinfo) {
  JpegRowEncoder::State& s = StateOf(cinfo);
  s.sink.next_output_byte = s.chunk;
  s.sink.free_in_buffer = sizeof(s.chunk);
}

boolean FlushSink(j_compress_ptr cinfo) {
  JpegRowEncoder::State& s = StateOf(cinfo);
  // libjpeg calls this only with the chunk full. A failed allocation ends in std::terminate
  // rather than crossing libjpeg's C frames as an exception.
  s.file.append(reinterpret_cast<const char*>(s.chunk), sizeof(s.chunk));
  InitSink(cinfo);
  return TRUE;
}

void TermSink(j_compress_ptr cinfo) {
  JpegRowEncoder::State& s = StateOf(cinfo);
  s.file.append(reinterpret_cast<const char*>(s.chunk), sizeof(s.chunk) - s.sink.free_in_buffer);
}

}  // namespace

JpegRowEncoder::JpegRowEncoder() : state_(std::make_unique<State>()) {}

JpegRowEncoder::~JpegRowEncoder() = default;

bool JpegRowEncoder::Start(uint32_t width, uint32_t height) {
  State& s = *state_;
  if (s.created || width == 0 || height == 0) return false;
  s.cinfo.err = jpeg_std_error(&s.errors);
  s.errors.error_exit = OnError;
  s.errors.output_message = Silent;
  s.cinfo.client_data = &s;
  if (setjmp(s.jump) != 0) {
    s.failed = true;
    return false;
  }
  jpeg_create_compress(&s.cinfo);
  s.created = true;
  s.sink.init_destination = InitSink;
  s.sink.empty_output_buffer = FlushSink;
  s.sink.term_destination = TermSink;
  s.cinfo.dest = &s.sink;
  // A quarter of the raw pixels holds the JPEG of any page but noise; only what is written is
  // ever touched.
  try {
    s.file.reserve(static_cast<std::size_t>(width) * height * 3 / 4);
  } catch (const std::exception&) {
    // Grows as it goes instead.
  }
  s.cinfo.image_width = width;
  s.cinfo.image_height = height;
  s.cinfo.input_components = 3;
  s.cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&s.cinfo);
  jpeg_start_compress(&s.cinfo, TRUE);
  s.started = true;
  return true;
}

bool JpegRowEncoder::WriteRow(const uint8_t* rgb) {
  State& s = *state_;
  if (!s.started || s.failed || s.cinfo.next_scanline >= s.cinfo.image_height) return false;
  if (setjmp(s.jump) != 0) {
    s.failed = true;
    return false;
  }
  JSAMPROW row = const_cast<JSAMPROW>(rgb);  // libjpeg only reads input rows
  jpeg_write_scanlines(&s.cinfo, &row, 1);
  return true;
}

uint32_t JpegRowEncoder::Rows() const {
  return state_->started ? state_->cinfo.next_scanline : 0;
}

std::string JpegRowEncoder::Finish() {
  State& s = *state_;
  if (!s.started || s.failed || s.cinfo.next_scanline != s.cinfo.image_height) return {};
  if (setjmp(s.jump) != 0) {
    s.failed = true;
    return {};
  }
  jpeg_finish_compress(&s.cinfo);
  s.started = false;
  return std::move(s.file);
}

}  // namespace dralmin
