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

#include <openssl/evp.h>
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

constexpr std::string_view kDamagedFolder = "damaged";
constexpr std::string_view kSentSuffix = ".sent";
constexpr std::size_t kSentRecordNames = 10000;  // a bound: each name is some 50 bytes

// After the JPEG, each page file ends with its SHA-256 (from OpenSSL, which the agent links
// already for TLS, so no checksum code of its own), the JPEG's length (8 bytes, little-endian)
// and this mark. A file without the mark was written before it existed: a plain JPEG.
constexpr std::string_view kTrailerMark = "DRPAGE01";
constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kTrailerSize = kDigestSize + 8 + kTrailerMark.size();

std::optional<std::string> Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != kDigestSize) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string LengthBytes(uint64_t length) {
  std::string bytes(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return bytes;
}

uint64_t LengthOf(std::string_view bytes) {
  uint64_t length = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    length |= uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  }
  return length;
}

// What is wrong with a page file of `size` bytes that starts with `head` and ends with `tail`
// (its trailer, or the end of a plain JPEG); empty when it looks whole. The checksum is not
// looked at here, so that thousands of pages load at once.
std::string ShapeRefusal(uint64_t size, std::string_view head, std::string_view tail) {
  if (size == 0) return "it is empty";
  if (tail.size() >= kTrailerSize && tail.ends_with(kTrailerMark)) {
    const std::string_view trailer = tail.substr(tail.size() - kTrailerSize);
    const uint64_t length = LengthOf(trailer.substr(kDigestSize, 8));
    if (length + kTrailerSize != size) {
      return "it holds " + std::to_string(size - kTrailerSize) + " bytes of image instead of " +
             std::to_string(length);
    }
    return {};
  }
  // Queued before pages carried their length: a JPEG starts with SOI and ends with EOI.
  if (size < 4 || !head.starts_with("\xFF\xD8") || !tail.ends_with("\xFF\xD9")) {
    return "it is neither a page of this agent nor a whole JPEG";
  }
  return {};
}

// The page's image out of its whole file, or the outcome and why not.
PageRead PageImage(std::string file) {
  PageRead read;
  read.why = ShapeRefusal(file.size(), file, file);
  if (!read.why.empty()) {
    read.outcome = PageRead::Outcome::kDamaged;
    return read;
  }
  if (std::string_view(file).ends_with(kTrailerMark)) {
    const std::string_view image = std::string_view(file).substr(0, file.size() - kTrailerSize);
    const std::optional<std::string> digest = Sha256(image);
    if (!digest) {
      return {PageRead::Outcome::kUnreadable, {}, "its checksum could not be computed"};
    }
    if (*digest != std::string_view(file).substr(image.size(), kDigestSize)) {
      return {PageRead::Outcome::kDamaged, {}, "its checksum does not match its bytes"};
    }
    file.resize(image.size());
  }
  read.bytes = std::move(file);
  return read;
}

}  // namespace

ScanQueue::ScanQueue(MessageBox& messages, std::string folder, ScanQueueLimits limits, Clock clock,
                     std::string sentRecord)
    : messages_(messages),
      folder_(std::move(folder)),
      limits_(limits),
      clock_(std::move(clock)),
      sentRecord_(std::move(sentRecord)) {
  Load();
  DropExpired();
}

std::string ScanQueue::PathOf(std::string_view name) const {
  return folder_ + kFolderSeparator + std::string(name);
}

void ScanQueue::Load() {
  refusal_ = MakeFolders(folder_) ? PrivateFolderRefusal(folder_) : "it cannot be made";
  if (!refusal_.empty()) {
    // What another user could have put there is neither read nor sent, and nothing is added.
    LogError(kComponent, "scanned pages cannot be kept: the folder " + folder_ +
                             " cannot be used: " + refusal_ +
                             "; every scan will stop at its first page");
    return;
  }
  // Those set aside by an earlier run, before this one adds its own.
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(FsPath(PathOf(kDamagedFolder)), error)) {
    if (ParsePageName(entry.path().filename().string())) ++damaged_;
  }
  LoadPages();
  const OwnFile key = ReadOwnFile(PathOf(kKeyFile));
  if (key.failure == OwnFile::Failure::kNone) {
    key_ = key.content;
  } else if (key.failure != OwnFile::Failure::kMissing) {
    LogError(kComponent, "the scan key " + PathOf(kKeyFile) + " is not taken: " + key.why);
  }
  if (!pages_.empty()) {
    LogInfo(kComponent, std::to_string(pages_.size()) +
                            " scanned page(s) of an earlier run wait in " + folder_);
  }
}

void ScanQueue::LoadPages() {
  const std::vector<std::string> sent = SentRecord();
  std::error_code error;
  std::vector<std::pair<uint64_t, QueuedPage>> found;
  for (const auto& entry : std::filesystem::directory_iterator(FsPath(folder_), error)) {
    const std::u8string u8 = entry.path().filename().u8string();
    const std::string name(u8.begin(), u8.end());
    const auto parsed = ParsePageName(name);
    if (!parsed) {
      // What a write cut short left (a temporary file beside a page or the key), or a page
      // marked sent because it could not be deleted.
      if (name.starts_with(kPagePrefix) || name.starts_with(std::string(kKeyFile) + ".")) {
        RemoveFile(PathOf(name));
      }
      continue;
    }
    if (std::find(sent.begin(), sent.end(), name) != sent.end()) {
      RemoveFile(PathOf(name));  // taken by its receiver before; on a disk that may be writable now
      continue;
    }
    if (std::optional<QueuedPage> page = Examine(name, parsed->second)) {
      found.emplace_back(parsed->first, std::move(*page));
    }
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
}

std::optional<QueuedPage> ScanQueue::Examine(const std::string& name, int64_t milliseconds) {
  const OwnFile file = ReadOwnFileEnds(PathOf(name), kTrailerSize);
  std::string why;
  if (file.failure == OwnFile::Failure::kMissing) return std::nullopt;
  if (file.failure == OwnFile::Failure::kRefused) {
    why = file.why;
  } else if (file.failure == OwnFile::Failure::kNone) {
    why = ShapeRefusal(file.size, file.content, file.tail);
  }
  if (!why.empty()) {
    SetAside(name, why);
    return std::nullopt;
  }
  // One that cannot be read now is kept, and looked at again before it is sent.
  return QueuedPage{name, file.size,
                    std::chrono::system_clock::time_point(std::chrono::milliseconds(milliseconds))};
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
  if (!refusal_.empty()) return Refuse("the folder " + folder_ + " cannot be used: " + refusal_);
  const std::optional<std::string> digest = Sha256(jpeg);
  if (!digest) return Refuse("its checksum could not be computed");
  std::string content;
  content.reserve(jpeg.size() + kTrailerSize);
  content.append(jpeg).append(*digest).append(LengthBytes(jpeg.size())).append(kTrailerMark);
  std::lock_guard appending(appendMutex_);
  uint64_t number = 0;
  {
    std::lock_guard lock(mutex_);
    if (bytes_ + content.size() > limits_.maxBytes) {
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
  const WriteFailure failure = WriteFileWhole(path, content);
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
  pages_.push_back(QueuedPage{name, content.size(),
                              std::chrono::time_point_cast<std::chrono::milliseconds>(scanned)});
  bytes_ += content.size();
  return true;
}

std::optional<QueuedPage> ScanQueue::Front() const {
  std::lock_guard lock(mutex_);
  if (pages_.empty()) return std::nullopt;
  return pages_.front();
}

PageRead ScanQueue::Read(const QueuedPage& page) {
  OwnFile file = ReadOwnFile(PathOf(page.name));
  switch (file.failure) {
    case OwnFile::Failure::kNone:
      break;
    case OwnFile::Failure::kMissing:
      Forget(page.name);
      LogError(kComponent, "scanned page " + page.Id() + " is no longer in " + folder_ +
                               " (removed by someone else): there is nothing to send");
      return {PageRead::Outcome::kGone, {}, "its file is no longer there"};
    case OwnFile::Failure::kRefused:
      SetAside(page.name, file.why);
      return {PageRead::Outcome::kDamaged, {}, file.why};
    case OwnFile::Failure::kUnreadable:
      return {PageRead::Outcome::kUnreadable, {}, file.why};
  }
  PageRead read = PageImage(std::move(file.content));
  if (read.outcome == PageRead::Outcome::kDamaged) SetAside(page.name, read.why);
  return read;
}

void ScanQueue::Forget(const std::string& name) {
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(pages_.begin(), pages_.end(),
                                  [&](const QueuedPage& p) { return p.name == name; });
  if (found == pages_.end()) return;
  bytes_ -= found->size;
  pages_.erase(found);
}

void ScanQueue::SetAside(const std::string& name, const std::string& why) {
  Forget(name);
  const std::string aside = PathOf(kDamagedFolder);
  const std::string target = aside + kFolderSeparator + name;
  // A link is moved as itself: whatever it points to stays untouched.
  if (MakeFolders(aside) && PutInPlace(PathOf(name), target)) {
    {
      std::lock_guard lock(mutex_);
      ++damaged_;
    }
    LogError(kComponent, "scanned page " + name.substr(0, name.rfind('.')) + " is damaged (" + why +
                             "): moved to " + target + ", never sent");
    return;
  }
  LogError(kComponent, "scanned page " + name.substr(0, name.rfind('.')) + " is damaged (" + why +
                           ") and cannot be moved to " + aside + ": " + ErrnoText() +
                           "; it stays in " + folder_ + " and is never sent");
}

void ScanQueue::Remove(const QueuedPage& page) {
  Forget(page.name);
  const std::string path = PathOf(page.name);
  if (RemoveFile(path)) return;
  const std::string why = ErrnoText();
  // Renamed, it is no page for the next run; that failing too (a read-only disk), it is listed
  // elsewhere. Either way this run does not offer it again.
  if (PutInPlace(path, path + std::string(kSentSuffix))) {
    LogWarning(kComponent, "scanned page " + page.Id() + " was sent but cannot be deleted (" + why +
                               "): marked sent instead");
  } else if (RecordSent(page.name)) {
    LogWarning(kComponent, "scanned page " + page.Id() + " was sent but cannot be deleted or " +
                               "renamed (" + why + "): listed as sent in " + sentRecord_);
  } else {
    LogError(kComponent, "scanned page " + page.Id() + " was sent but cannot be deleted or " +
                             "marked sent (" + why +
                             "): after a restart it goes out again, under the same "
                             "Idempotency-Key");
  }
}

std::vector<std::string> ScanQueue::SentRecord() const {
  if (sentRecord_.empty()) return {};
  const OwnFile record = ReadOwnFile(sentRecord_);
  std::vector<std::string> names;
  std::string_view rest = record.content;
  while (!rest.empty()) {
    const auto end = std::min(rest.find('\n'), rest.size());
    if (end > 0) names.emplace_back(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return names;
}

bool ScanQueue::RecordSent(const std::string& name) {
  if (sentRecord_.empty()) return false;
  std::vector<std::string> names = SentRecord();
  names.push_back(name);
  if (names.size() > kSentRecordNames) names.erase(names.begin(), names.end() - kSentRecordNames);
  std::string text;
  for (const std::string& each : names) text += each + "\n";
  return WriteFileWhole(sentRecord_, text) == WriteFailure::kNone;
}

std::vector<std::string> ScanQueue::Warnings() const {
  std::vector<std::string> warnings;
  if (!refusal_.empty()) {
    warnings.push_back("the scan queue folder " + folder_ + " cannot be used (" + refusal_ +
                       "): every scan stops at its first page");
  }
  std::lock_guard lock(mutex_);
  if (damaged_ > 0) {
    warnings.push_back(std::to_string(damaged_) + " damaged scanned page(s) were moved to " +
                       PathOf(kDamagedFolder) + " and never sent (the log says why)");
  }
  return warnings;
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
  if (!refusal_.empty()) return;  // said when the queue was made
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
