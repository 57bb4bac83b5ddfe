#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "devices/scanning/Twain.h"

namespace dralmin {

class MessageBox;

// The scanned pages not yet uploaded, as JPEG files in memory, first in first out. Pages are
// appended on the user-interface thread, inside the scanning session's transfer loop, and taken
// on the gateway's poll thread; the lock is held only to move an entry in or out.
class ScanQueue {
 public:
  explicit ScanQueue(MessageBox& messages);

  // Converts one transferred page (a packed DIB in a memory block, still owned by the caller) and
  // appends it. A page that cannot be converted is told to the user and still appended, empty,
  // so that it keeps its place and its upload reports the failure.
  void OnScannedImage(TW_HANDLE dib);

  void Append(std::string jpeg);

  // The oldest page, removed from the queue; nothing when the queue is empty.
  std::optional<std::string> TakeFront();

  // Puts a page that could not be delivered back in front, ahead of pages queued meanwhile.
  void ReturnFront(std::string jpeg);

  bool Empty() const;
  std::size_t Size() const;

  // The key of the scan that last started: the queued pages, whichever scan made them, go out
  // under it. Empty before any scan.
  void SetKey(std::string key);
  std::string Key() const;

 private:
  MessageBox& messages_;
  mutable std::mutex mutex_;
  std::deque<std::string> pages_;
  std::string key_;
};

}  // namespace dralmin
