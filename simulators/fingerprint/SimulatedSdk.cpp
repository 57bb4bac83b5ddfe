// A stand-in for the fingerprint scanner maker's SDK library, with the same eight C functions.
//
// What it reports is set by key=value lines, read anew on every call so that a test or a person
// can change the scanner's state between requests:
//   - from the file named by DRALMIN_FINGERPRINT_SIM_FILE, and otherwise
//   - from the variables DRALMIN_FINGERPRINT_SIM_<KEY> (the key in capitals).
// Keys (defaults in brackets): init, connected, open, capture, enroll: the result of SdkInit,
// ScanGetConnected, ScanOpen, ScanCapture, MathEnroll [1]; scanners: how many are connected
// [1]; quality: the enrolment quality [90]; template: the template bytes in hexadecimal [0aff];
// length: the template length to report instead of the true one [unset].
// A value may be a comma-separated list: the n-th call of that step takes the n-th element,
// starting again from the first after the last (e.g. quality=10,90,90,10 for touch and lift).
//
// When DRALMIN_FINGERPRINT_SIM_COUNTS names a file, every call rewrites it with key=value lines
// counting what was taken and given back (lists, listsFreed, opens, closes, samples,
// samplesFreed, inits) and every misuse seen (misuse): a foreign pointer or handle, a wrong
// context, a wrong buffer capacity or constant argument.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devices/fingerprint/QuorvelSdk.h"

namespace {

constexpr int32_t kContext = 0x5157;
constexpr int32_t kFirstScannerId = 3;
constexpr int32_t kCapacity = 10240;
constexpr int32_t kBadArgument = -2;

struct State {
  std::mutex mutex;
  std::map<std::string, long> counts;
  std::map<std::string, unsigned> calls;  // per step, to walk through value lists
  std::set<void*> lists;
  std::set<int32_t> scanners;
  std::set<int32_t> samples;
  std::set<int32_t> scannerIds;  // every identifier a list has named
  int32_t nextHandle = 100;
};

State& Sim() {
  static State state;
  return state;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The configured text for `key`, or `fallback`.
std::string Setting(const std::string& key, const std::string& fallback) {
  if (const char* path = std::getenv("DRALMIN_FINGERPRINT_SIM_FILE"); path != nullptr && *path) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
      const auto equals = line.find('=');
      if (equals != std::string::npos && Trim(line.substr(0, equals)) == key) {
        return Trim(line.substr(equals + 1));
      }
    }
  }
  std::string name = "DRALMIN_FINGERPRINT_SIM_";
  for (const char c : key) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (const char* value = std::getenv(name.c_str()); value != nullptr && *value) return value;
  return fallback;
}

// The element of a comma list that the current call of `step` takes.
std::string Pick(State& sim, const std::string& step, const std::string& key,
                 const std::string& fallback) {
  std::vector<std::string> items;
  std::stringstream list(Setting(key, fallback));
  for (std::string item; std::getline(list, item, ',');) items.push_back(Trim(item));
  if (items.empty()) items.push_back(fallback);
  return items[sim.calls[step] % items.size()];
}

long Number(const std::string& text, long fallback) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? fallback : value;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal text to bytes; reading stops at the first pair that is not hexadecimal.
std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = Nibble(text[i]);
    const int low = Nibble(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

void Count(State& sim, const std::string& what) {
  ++sim.counts[what];
}

void WriteCounts(State& sim) {
  const char* path = std::getenv("DRALMIN_FINGERPRINT_SIM_COUNTS");
  if (path == nullptr || *path == '\0') return;
  std::ostringstream text;
  for (const char* key :
       {"inits", "lists", "listsFreed", "opens", "closes", "samples", "samplesFreed", "misuse"}) {
    text << key << '=' << sim.counts[key] << '\n';
  }
  // Written aside and renamed, so that a reader never sees half a file.
  const std::string aside = std::string(path) + ".part";
  if (std::FILE* file = std::fopen(aside.c_str(), "w")) {
    std::fputs(text.str().c_str(), file);
    std::fclose(file);
    // Replacing the file on every system (std::rename fails on Windows when it exists).
    std::error_code ignored;
    std::filesystem::rename(aside, path, ignored);
  }
}

// One SDK call: counts it for the value lists and publishes the counters when it ends.
class Call {
 public:
  explicit Call(const char* step) : sim_(Sim()), lock_(sim_.mutex), step_(step) {}
  ~Call() {
    ++sim_.calls[step_];
    WriteCounts(sim_);
  }
  State& sim() { return sim_; }
  int32_t Result(const std::string& key) {
    return static_cast<int32_t>(Number(Pick(sim_, step_, key, "1"), 1));
  }
  int32_t Misuse() {
    Count(sim_, "misuse");
    return kBadArgument;
  }

 private:
  State& sim_;
  std::lock_guard<std::mutex> lock_;
  std::string step_;
};

}  // namespace

extern "C" {

int32_t SdkInit(int32_t* context, int32_t reserved) {
  Call call("SdkInit");
  if (context == nullptr || reserved != 0) return call.Misuse();
  const int32_t result = call.Result("init");
  if (result == 1) {
    *context = kContext;
    Count(call.sim(), "inits");
  }
  return result;
}

int32_t ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count) {
  Call call("ScanGetConnected");
  if (context != kContext || scanners == nullptr || count == nullptr) return call.Misuse();
  const int32_t result = call.Result("connected");
  if (result != 1) return result;
  const long connected = Number(Pick(call.sim(), "ScanGetConnected", "scanners", "1"), 1);
  *count = static_cast<int32_t>(connected);
  *scanners = nullptr;
  if (connected > 0) {
    auto* list = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(connected)));
    for (long i = 0; i < connected; ++i) {
      list[i] = static_cast<uint8_t>(kFirstScannerId + i);
      call.sim().scannerIds.insert(list[i]);
    }
    call.sim().lists.insert(list);
    Count(call.sim(), "lists");
    *scanners = list;
  }
  return 1;
}

int32_t ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner) {
  Call call("ScanOpen");
  if (context != kContext || scanner == nullptr) return call.Misuse();
  if (call.sim().scannerIds.count(scannerId) == 0) return call.Misuse();
  const int32_t result = call.Result("open");
  if (result != 1) return result;
  *scanner = call.sim().nextHandle++;
  call.sim().scanners.insert(*scanner);
  Count(call.sim(), "opens");
  return 1;
}

int32_t ScanCapture(int32_t context, int32_t scanner, int32_t* sample, int32_t reserved1,
                    int32_t reserved2) {
  Call call("ScanCapture");
  if (context != kContext || sample == nullptr || reserved1 != 0 || reserved2 != 0 ||
      call.sim().scanners.count(scanner) == 0) {
    return call.Misuse();
  }
  const int32_t result = call.Result("capture");
  if (result != 1) return result;
  *sample = call.sim().nextHandle++;
  call.sim().samples.insert(*sample);
  Count(call.sim(), "samples");
  return 1;
}

int32_t MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                   uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength,
                   int32_t one) {
  Call call("MathEnroll");
  if (context != kContext || sample == nullptr || call.sim().samples.count(*sample) == 0 ||
      reserved != 0 || one != 1 || quality == nullptr || status == nullptr ||
      templateBuffer == nullptr || *templateBuffer == nullptr || templateLength == nullptr ||
      *templateLength != kCapacity) {
    return call.Misuse();
  }
  const int32_t result = call.Result("enroll");
  // Some quality is reported with -13 too: the caller must not trust it.
  *quality = static_cast<uint8_t>(Number(Pick(call.sim(), "MathEnroll", "quality", "90"), 90));
  if (result != 1) return result;
  const std::vector<uint8_t> bytes = Hex(Pick(call.sim(), "MathEnroll", "template", "0aff"));
  if (bytes.size() > static_cast<size_t>(kCapacity)) return call.Misuse();
  for (size_t i = 0; i < bytes.size(); ++i) (*templateBuffer)[i] = bytes[i];
  *status = 0;
  *templateLength = static_cast<int32_t>(
      Number(Pick(call.sim(), "MathEnroll", "length", ""), static_cast<long>(bytes.size())));
  return 1;
}

int32_t ScanFreeSample(int32_t context, int32_t sample) {
  Call call("ScanFreeSample");
  if (context != kContext || call.sim().samples.erase(sample) == 0) return call.Misuse();
  Count(call.sim(), "samplesFreed");
  return 1;
}

int32_t ScanClose(int32_t context, int32_t scanner) {
  Call call("ScanClose");
  if (context != kContext || call.sim().scanners.erase(scanner) == 0) return call.Misuse();
  Count(call.sim(), "closes");
  return 1;
}

int32_t MemFree(void* pointer) {
  Call call("MemFree");
  if (call.sim().lists.erase(pointer) == 0) return call.Misuse();
  std::free(pointer);
  Count(call.sim(), "listsFreed");
  return 1;
}

}  // extern "C"
