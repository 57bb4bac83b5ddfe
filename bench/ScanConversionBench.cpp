// Time to turn one scanned A4 page at 300 dpi into a queued JPEG (written and synced to the disk),
// as the user-interface thread does inside the transfer loop.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <jpeglib.h>

#include "bench/A4Page.h"
#include "devices/scanning/ScanQueue.h"
#include "platform/MemoryHandle.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

using bench::A4Page;
using bench::kA4Height;
using bench::kA4Width;

class NoMessages final : public MessageBox {
 public:
  void Show(const std::string&, const std::string&) override {}
};

void ConvertA4(benchmark::State& state, int bits) {
  NoMessages messages;
  // Queued means written and synced to the disk, as in the agent.
  char folder[] = "/tmp/dralmin-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  ScanQueue queue(messages, folder);
  TW_HANDLE page = A4Page(bits);
  std::size_t jpegBytes = 0;
  for (auto _ : state) {
    queue.OnScannedImage(page);
    jpegBytes = queue.Front()->size;
    queue.Remove(*queue.Front());
  }
  FreeMemory(page);
  std::filesystem::remove_all(folder);
  state.counters["jpeg_kB"] = static_cast<double>(jpegBytes) / 1024;
  state.counters["pages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ConvertA4Colour(benchmark::State& state) {
  ConvertA4(state, 24);
}
void BM_ConvertA4Palette(benchmark::State& state) {
  ConvertA4(state, 8);
}

// The same pixels through libjpeg-turbo alone, with the settings the conversion uses (defaults:
// quality 75, blue-first rows handed over in place). Its time is the floor for the conversion.
void BM_BareEncodeA4Colour(benchmark::State& state) {
  TW_HANDLE page = A4Page(24);
  auto* pixels = static_cast<unsigned char*>(LockMemory(page)) + 40;
  const std::size_t stride = (static_cast<std::size_t>(kA4Width) * 24 + 31) / 32 * 4;
  unsigned long jpegBytes = 0;
  for (auto _ : state) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = kA4Width;
    cinfo.image_height = kA4Height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      // DIB rows run bottom-up.
      JSAMPROW line = pixels + stride * (kA4Height - 1 - cinfo.next_scanline);
      jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    jpegBytes = size;
    std::free(out);
  }
  UnlockMemory(page);
  FreeMemory(page);
  state.counters["jpeg_kB"] = static_cast<double>(jpegBytes) / 1024;
}

BENCHMARK(BM_ConvertA4Colour)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareEncodeA4Colour)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertA4Palette)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dralmin
