// Rendering one label description to printer commands, as "/print" does before sending the job.
#include <benchmark/benchmark.h>

#include <string>

#include "support/LabelRenderer.h"

namespace dralmin {
namespace {

// A shop shelf label: name in Cyrillic, price, barcode, QR code and a frame.
const std::string kShelfLabel =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<label width=\"58\" height=\"40\" gap=\"2\" copies=\"1\">"
    "<text x=\"10\" y=\"10\">Хлеб \"Бородинский\" нарезка 400 г</text>"
    "<text x=\"10\" y=\"60\">Цена: 89.90 руб.</text>"
    "<barcode x=\"10\" y=\"110\">4601234567893</barcode>"
    "<qrcode x=\"300\" y=\"110\">https://shop.example/p/4601234567893</qrcode>"
    "<box x=\"0\" y=\"0\" xend=\"460\" yend=\"310\"/>"
    "</label>";

void BM_RenderShelfLabel(benchmark::State& state, int codePage) {
  const LabelRenderer renderer(codePage, false);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string job = renderer.Render(kShelfLabel);
    bytes = job.size();
    benchmark::DoNotOptimize(job.data());
  }
  state.counters["job_bytes"] = static_cast<double>(bytes);
  state.counters["labels_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_RenderShelfLabel, cp1251, 1251)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RenderShelfLabel, cp866, 866)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace dralmin
