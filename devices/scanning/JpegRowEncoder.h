#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace dralmin {

// A full-colour JPEG file (the encoder's default quality, 75, as for every scanned page) written
// row by row, top row first, as a scanner delivers them: no copy of the whole image is needed.
class JpegRowEncoder {
 public:
  JpegRowEncoder();
  ~JpegRowEncoder();
  JpegRowEncoder(const JpegRowEncoder&) = delete;
  JpegRowEncoder& operator=(const JpegRowEncoder&) = delete;

  // Starts an image of the given size; false when the encoder refuses it.
  bool Start(uint32_t width, uint32_t height);
  // One row of width red, green, blue triplets. False once anything failed.
  bool WriteRow(const uint8_t* rgb);
  // Rows written so far.
  uint32_t Rows() const;
  // Ends the image (every row must have been written): the file, or empty when it failed.
  std::string Finish();

  // libjpeg's state; public only so that its error handler can reach it.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace dralmin
