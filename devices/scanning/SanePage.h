#pragma once

#include <sane/sane.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/scanning/JpegRowEncoder.h"

namespace dralmin {

// One page as a SANE device sends it, made into the same full-colour JPEG as every scanned page:
// a grey or colour frame, or three frames (red, green, blue) one after the other. Grey and colour
// rows of a known height go to the encoder as they arrive; three-pass pages and pages of unknown
// height (-1) are held as colour rows until their last frame ends.
class SanePage {
 public:
  // Starts the next frame with the device's parameters; false, with `why`, when they cannot be
  // taken (a depth other than 1, 8 or 16, lines shorter than their pixels, a frame kind unknown
  // or not matching the frames before it).
  bool BeginFrame(const SANE_Parameters& parameters, std::string& why);

  // Bytes of the frame as sane_read delivered them, in any pieces.
  void Add(const uint8_t* data, std::size_t size);

  // The frame's end of data; true when it was the page's last frame.
  bool EndFrame();

  // The JPEG file once the last frame has ended; empty when encoding failed.
  std::string Finish();

 private:
  void TakeLine(const uint8_t* line);
  void ToRgb(const uint8_t* line, uint8_t* rgb) const;
  uint8_t* HeldRow(std::size_t row);

  SANE_Parameters frame_{};
  bool started_ = false;
  bool streaming_ = false;
  bool finished_ = false;
  std::size_t width_ = 0;      // pixels a row
  std::size_t height_ = 0;     // rows announced by the first frame; 0 while unknown
  std::size_t row_ = 0;        // the next row of the current frame
  std::size_t heldRows_ = 0;   // rows in held_
  std::vector<uint8_t> line_;  // a line cut across two reads
  std::size_t lineFill_ = 0;
  std::vector<uint8_t> rgb_;   // one converted row
  std::vector<uint8_t> held_;  // colour rows of a page that cannot be streamed
  JpegRowEncoder encoder_;
};

}  // namespace dralmin
