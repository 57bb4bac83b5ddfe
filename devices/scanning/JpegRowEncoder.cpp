#include "devices/scanning/JpegRowEncoder.h"

// jpeglib.h needs FILE and size_t declared first.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace dralmin {

// libjpeg reports errors through error_exit, which must not return: it jumps back to the setjmp
// of the method that called into the library. Those methods own nothing with a destructor.
struct JpegRowEncoder::State {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  std::jmp_buf jump{};
  unsigned char* buffer = nullptr;  // libjpeg's malloc'd output
  unsigned long size = 0;
  bool created = false;
  bool started = false;
  bool failed = false;

  ~State() {
    if (created) jpeg_destroy_compress(&cinfo);
    std::free(buffer);
  }
};

namespace {

[[noreturn]] void OnError(j_common_ptr cinfo) {
  auto* state = static_cast<JpegRowEncoder::State*>(cinfo->client_data);
  std::longjmp(state->jump, 1);
}

void Silent(j_common_ptr) {}

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
  jpeg_mem_dest(&s.cinfo, &s.buffer, &s.size);
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
  return std::string(reinterpret_cast<const char*>(s.buffer), s.size);
}

}  // namespace dralmin
