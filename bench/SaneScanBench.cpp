// Ten feeder pages, A4 at 300 dpi in colour, from SANE's test backend: the agent's session from
// the start of the scan to the last page queued, and scanimage writing the same pages as JPEG
// files.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "devices/scanning/SaneLibrary.h"
#include "devices/scanning/SaneSession.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

constexpr int kPages = 10;

// SANE's configuration for the run: the test backend alone, an A4 colour pattern.
class SaneConfig {
 public:
  SaneConfig() {
    char pattern[] = "/tmp/dralmin-sane-bench-XXXXXX";
    folder_ = mkdtemp(pattern);
    std::ofstream(folder_ + "/dll.conf") << "test\n";
    std::ofstream(folder_ + "/test.conf")
        << "number_of_devices 1\nmode Color\ntest-picture \"Color pattern\"\n"
           "geometry_max 300.0\nbr_x 210.0\nbr_y 297.0\n";
    setenv("SANE_CONFIG_DIR", folder_.c_str(), 1);
  }
  ~SaneConfig() { std::filesystem::remove_all(folder_); }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

const SaneConfig& Config() {
  static const SaneConfig config;
  return config;
}

void BM_AgentTenA4FeederPages(benchmark::State& state) {
  Config();
  StderrMessageBox messages;
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<SaneLibrary> library = LoadSaneLibrary(kSaneLibraryName, error);
    if (!library) {
      state.SkipWithError(error.c_str());
      return;
    }
    std::mutex mutex;
    std::condition_variable done;
    int pages = 0;
    bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    SaneSession session(std::move(library), ScanChoices{"", "feeder", "color", 300}, nullptr,
                        messages, [&](std::string_view jpeg) {
                          std::lock_guard lock(mutex);
                          bytes += jpeg.size();
                          if (++pages == kPages) done.notify_all();
                          return true;
                        });
    if (!session.Acquire()) {
      state.SkipWithError("the scan did not start");
      return;
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return pages == kPages; });
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["page_kB"] = static_cast<double>(bytes) / kPages / 1000.0;
}
BENCHMARK(BM_AgentTenA4FeederPages)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ScanimageTenA4FeederPages(benchmark::State& state) {
  const std::string folder = Config().folder();
  const std::string command =
      "scanimage -d test:0 --source 'Automatic Document Feeder' "
      "--mode Color --resolution 300 --format=jpeg --batch=" +
      folder + "/page%d.jpg >/dev/null 2>&1";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!std::filesystem::exists(folder + "/page" + std::to_string(kPages) + ".jpg")) {
      state.SkipWithError(("scanimage failed, status " + std::to_string(status)).c_str());
      return;
    }
  }
  state.counters["page_kB"] =
      static_cast<double>(std::filesystem::file_size(folder + "/page1.jpg")) / 1000.0;
}
BENCHMARK(BM_ScanimageTenA4FeederPages)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dralmin
