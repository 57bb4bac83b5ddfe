#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "devices/scanning/Twain.h"
#include "platform/MessageBox.h"  // not declared ahead: windows.h would rename it

namespace dralmin {

// One page waiting for its upload: a JPEG file in the queue's folder.
struct QueuedPage {
  std::string name;  // the file's name; without ".jpg" it is the page's stable identifier
  std::uint64_t size = 0;
  std::chrono::system_clock::time_point scanned;
};

struct ScanQueueLimits {
  std::chrono::hours keep{24};                         // scan_keep_hours
  std::uint64_t maxBytes = std::uint64_t{1024} << 20;  // scan_queue_mb
};

// The scanned pages not yet uploaded, first in first out, and the scan key they go out under.
// Each page is a file in `folder`, on the disk before it counts as queued and removed only once
// the receiver took it; the key is a file there too. A new queue on the same folder (after a
// crash or a restart) has the same pages and key. Memory holds names and sizes only. Pages are
// appended on the scanning session's thread and taken on the gateway's poll thread; the lock is
// held only to move an entry in or out. One process owns the folder (one agent per user).
class ScanQueue {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  ScanQueue(MessageBox& messages, std::string folder, ScanQueueLimits limits = {},
            Clock clock = &std::chrono::system_clock::now);

  // Converts one transferred page (a packed DIB in a memory block, still owned by the caller) and
  // appends it. A page that cannot be converted is told to the user and still appended, empty,
  // so that it keeps its place and its upload reports the failure. False when the queue could
  // not take it (see Append): the scan should stop.
  bool OnScannedImage(TW_HANDLE dib);

  // False, after a line and the user's message box, when the page would pass the byte limit or
  // could not be written and synced whole; nothing of it stays then.
  bool Append(std::string_view jpeg);

  // The oldest page; nothing when the queue is empty.
  std::optional<QueuedPage> Front() const;

  // The page's bytes; nothing, after a line saying why, when its file cannot be read.
  std::optional<std::string> Read(const QueuedPage& page) const;

  // Deletes a page that the receiver took (or will never take).
  void Remove(const QueuedPage& page);

  // Deletes, each with a line, the pages kept longer than `limits.keep`.
  void DropExpired();

  bool Empty() const;
  std::size_t Size() const;

  // The key of the scan that last started: the queued pages, whichever scan made them, go out
  // under it. Empty before any scan. Written to the folder at once (a failure is logged).
  void SetKey(std::string key);
  std::string Key() const;

 private:
  void Load();
  std::string PathOf(std::string_view name) const;
  bool Refuse(const std::string& why);

  MessageBox& messages_;
  const std::string folder_;
  const ScanQueueLimits limits_;
  const Clock clock_;
  std::mutex appendMutex_;  // one append at a time, from its name to its entry
  mutable std::mutex mutex_;
  std::deque<QueuedPage> pages_;
  std::uint64_t bytes_ = 0;
  std::uint64_t nextNumber_ = 1;
  std::string key_;
};

}  // namespace dralmin
