// A scanned page as the image source hands it over: a memory block holding a packed DIB, with
// whatever header and length the source chose.
#include <cstring>

#include "devices/scanning/CDIB.h"
#include "devices/scanning/JpegEncoder.h"
#include "fuzz/FuzzInput.h"
#include "platform/MemoryHandle.h"

namespace dralmin::fuzz {
namespace {

// Pages larger than this are read row by row but not encoded, to keep each run short.
constexpr std::size_t kEncodeLimit = 1 << 20;

}  // namespace
}  // namespace dralmin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  const MemoryHandle handle = AllocateMemory(size);
  if (handle == nullptr) return 0;
  if (size > 0) std::memcpy(LockMemory(handle), data, size);
  UnlockMemory(handle);

  CDIB dib;
  const bool loaded = dib.LoadFromHandle(handle);
  FreeMemory(handle);  // the copy must not need the source any more
  Require(loaded == dib.IsLoaded(), "the result tells whether an image is held");
  Require(loaded == (*dib.Refusal() == '\0'), "a refusal says why");
  if (!loaded) return 0;

  Require(dib.Width() > 0 && dib.Height() > 0, "a held image has pixels");
  const auto rowBytes = (static_cast<uint64_t>(dib.Width()) * dib.BitCount() + 7) / 8;
  Require(rowBytes <= static_cast<uint64_t>(dib.Stride()), "a row fits its stride");
  // Touch every byte the accessors promise, so the sanitizer sees any that is not there.
  unsigned sum = 0;
  for (int32_t j = 0; j < dib.Height(); ++j) {
    const uint8_t* row = dib.Row(j);
    for (int32_t i = 0; i < dib.Stride(); ++i) sum += row[i];
  }
  for (int i = 0; i < dib.ColourCount() * 4; ++i) sum += dib.ColourTable()[i];
  for (std::size_t i = 0; i < CDIB::kHeaderSize; ++i) sum += dib.Info()[i];
  if (static_cast<uint64_t>(dib.Stride()) * static_cast<uint64_t>(dib.Height()) <= kEncodeLimit) {
    const JpegResult jpeg = EncodeJpeg(dib);
    Require(jpeg.failure != 0 || jpeg.bytes.size() > 2, "a converted page is a JPEG file");
  }
  return static_cast<int>(sum & 0);
}
