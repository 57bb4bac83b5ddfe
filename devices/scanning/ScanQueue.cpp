#include "devices/scanning/ScanQueue.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#include "devices/scanning/CDIB.h"
#include "devices/scanning/JpegEncoder.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace dralmin {
namespace {

constexpr std::string_view kComponent = "scanning";
constexpr std::string_view kKeyFile = "scan-key";
constexpr std::string_view kPagePrefix = "page-";
constexpr std::string_view kPageSuffix = ".jpg";

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

int64_t MillisecondsOf(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// "page-" number "-" scan time in ms since 1970 "-" 16 random hexadecimal digits ".jpg": the number
// keeps the scanning order across restarts, the random part makes the name unique for good (the
// numbers start again once the folder is empty), so a receiver may take it as the page's identity.
std::string PageName(uint64_t number, std::chrono::system_clock::time_point scanned) {
  static std::mutex mutex;
  static std::random_device device;
  uint64_t random = 0;
  {
    std::lock_guard lock(mutex);
    random = (uint64_t{device()} << 32) ^ device();
  }
  const auto padded = [](std::string digits, std::size_t width) {
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
  };
  std::string hex(16, '0');
  for (std::size_t i = 0; i < hex.size(); ++i) {
    hex[i] = "0123456789abcdef"[(random >> (60 - 4 * i)) & 0xF];
  }
  return std::string(kPagePrefix) + padded(std::to_string(number), 10) + "-" +
         padded(std::to_string(MillisecondsOf(scanned)), 13) + "-" + hex + std::string(kPageSuffix);
}

// The number and scan time of a page's file name; nothing for any other name.
std::optional<std::pair<uint64_t, int64_t>> ParsePageName(std::string_view name) {
  if (!name.starts_with(kPagePrefix) || !name.ends_with(kPageSuffix)) return std::nullopt;
  name.remove_prefix(kPagePrefix.size());
  name.remove_suffix(kPageSuffix.size());
  uint64_t number = 0;
  int64_t milliseconds = 0;
  const char* end = name.data() + name.size();
  auto parsed = std::from_chars(name.data(), end, number);
  if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != '-') return std::nullopt;
  parsed = std::from_chars(parsed.ptr + 1, end, milliseconds);
  if (parsed.ec != std::errc() || parsed.ptr == end || *parsed.ptr != '-') return std::nullopt;
  if (end - parsed.ptr != 17) return std::nullopt;
  return std::pair{number, milliseconds};
}

}  // namespace

ScanQueue::ScanQueue(MessageBox& messages, std::string folder, ScanQueueLimits limits, Clock clock)
    : messages_(messages), folder_(std::move(folder)), limits_(limits), clock_(std::move(clock)) {
  Load();
  DropExpired();
}

std::string ScanQueue::PathOf(std::string_view name) const {
  return folder_ + kFolderSeparator + std::string(name);
}

void ScanQueue::Load() {
  if (!MakeFolders(folder_)) {
    LogError(kComponent, "scanned pages cannot be kept: the folder " + folder_ +
                             " cannot be made; every scan will stop at its first page");
    return;
  }
  std::error_code error;
  std::vector<std::pair<uint64_t, QueuedPage>> found;
  for (const auto& entry : std::filesystem::directory_iterator(FsPath(folder_), error)) {
    const std::u8string u8 = entry.path().filename().u8string();
    const std::string name(u8.begin(), u8.end());
    const auto parsed = ParsePageName(name);
    if (!parsed) {
      // What a write cut short left: a temporary file beside a page or the key.
      if (name.starts_with(kPagePrefix) || name.starts_with(std::string(kKeyFile) + ".")) {
        RemoveFile(PathOf(name));
      }
      continue;
    }
    std::error_code sizeError;
    const auto size = entry.file_size(sizeError);
    if (sizeError) continue;
    QueuedPage page{
        name, size,
        std::chrono::system_clock::time_point(std::chrono::milliseconds(parsed->second))};
    found.emplace_back(parsed->first, std::move(page));
  }
  if (error) {
    LogError(kComponent,
             "the scanned pages in " + folder_ + " cannot be listed: " + error.message());
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [number, page] : found) {
    bytes_ += page.size;
    nextNumber_ = number + 1;
    pages_.push_back(std::move(page));
  }
  if (std::optional<std::string> key = ReadFileWhole(PathOf(kKeyFile))) key_ = std::move(*key);
  if (!pages_.empty()) {
    LogInfo(kComponent, std::to_string(pages_.size()) +
                            " scanned page(s) of an earlier run wait in " + folder_);
  }
}

bool ScanQueue::OnScannedImage(TW_HANDLE dib) {
  JpegResult jpeg;
  {
    // The block stays the caller's until this returns, so the rows are encoded where they are.
    CDIB page;
    // A refused page is told, and the encoder's failure follows it.
    if (!page.ViewHandle(dib)) messages_.Show(page.Refusal(), "Error");
    jpeg = EncodeJpeg(page);
  }
  if (jpeg.failure != 0) {
    char text[48];
    std::snprintf(text, sizeof(text), "Jpeg convertion error: 0x%08X", jpeg.failure);
    messages_.Show(text, "Error");
    jpeg.bytes.clear();
  }
  return Append(jpeg.bytes);
}

bool ScanQueue::Refuse(const std::string& why) {
  LogError(kComponent, "a scanned page was not queued and the scan stops: " + why);
  // The message of a page the agent could not take.
  messages_.Show("Error create", "Error");
  return false;
}

bool ScanQueue::Append(std::string_view jpeg) {
  std::lock_guard appending(appendMutex_);
  uint64_t number = 0;
  {
    std::lock_guard lock(mutex_);
    if (bytes_ + jpeg.size() > limits_.maxBytes) {
      return Refuse("the queue holds " + std::to_string(bytes_) + " bytes in " +
                    std::to_string(pages_.size()) + " page(s), and " + std::to_string(jpeg.size()) +
                    " more would pass its limit of " + std::to_string(limits_.maxBytes >> 20) +
                    " MB (scan_queue_mb)");
    }
    number = nextNumber_++;
  }
  const auto scanned = clock_();
  const std::string name = PageName(number, scanned);
  const std::string path = PathOf(name);
  const WriteFailure failure = WriteFileWhole(path, jpeg);
  if (failure != WriteFailure::kNone) {
    return Refuse(path + " could not be written: " + ErrnoText());
  }
  // Until its folder entry is on the disk, a crash could lose the page.
  if (!SyncFolder(folder_)) {
    const std::string why = ErrnoText();
    RemoveFile(path);
    return Refuse("the folder " + folder_ + " could not be synced: " + why);
  }
  std::lock_guard lock(mutex_);
  pages_.push_back(QueuedPage{name, jpeg.size(),
                              std::chrono::time_point_cast<std::chrono::milliseconds>(scanned)});
  bytes_ += jpeg.size();
  return true;
}

std::optional<QueuedPage> ScanQueue::Front() const {
  std::lock_guard lock(mutex_);
  if (pages_.empty()) return std::nullopt;
  return pages_.front();
}

std::optional<std::string> ScanQueue::Read(const QueuedPage& page) const {
  std::optional<std::string> bytes = ReadFileWhole(PathOf(page.name));
  if (!bytes) {
    LogError(kComponent,
             "the scanned page " + PathOf(page.name) + " cannot be read: " + ErrnoText());
  }
  return bytes;
}

void ScanQueue::Remove(const QueuedPage& page) {
  {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(pages_.begin(), pages_.end(),
                                    [&](const QueuedPage& p) { return p.name == page.name; });
    if (found == pages_.end()) return;
    bytes_ -= found->size;
    pages_.erase(found);
  }
  RemoveFile(PathOf(page.name));
}

void ScanQueue::DropExpired() {
  const auto oldest = clock_() - limits_.keep;
  std::vector<QueuedPage> expired;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pages_.begin(); it != pages_.end();) {
      if (it->scanned >= oldest) {
        ++it;
        continue;
      }
      bytes_ -= it->size;
      expired.push_back(std::move(*it));
      it = pages_.erase(it);
    }
  }
  for (const QueuedPage& page : expired) {
    RemoveFile(PathOf(page.name));
    LogWarning(kComponent, "scanned page " + page.name + " was not fetched within " +
                               std::to_string(limits_.keep.count()) +
                               " hours (scan_keep_hours): deleted");
  }
}

bool ScanQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return pages_.empty();
}

std::size_t ScanQueue::Size() const {
  std::lock_guard lock(mutex_);
  return pages_.size();
}

void ScanQueue::SetKey(std::string key) {
  {
    std::lock_guard lock(mutex_);
    if (key == key_) return;
    key_ = key;
  }
  // Written whole and then renamed: a crash leaves the old key or the new one.
  if (WriteFileWhole(PathOf(kKeyFile), key) != WriteFailure::kNone || !SyncFolder(folder_)) {
    LogError(kComponent, "the scan key could not be stored in " + folder_ + ": " + ErrnoText() +
                             "; after a restart the pages would wait for the earlier key");
  }
}

std::string ScanQueue::Key() const {
  std::lock_guard lock(mutex_);
  return key_;
}

}  // namespace dralmin
