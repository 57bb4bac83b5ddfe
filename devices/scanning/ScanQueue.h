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
#include <vector>

#include "devices/scanning/Twain.h"
#include "platform/MessageBox.h"  // not declared ahead: windows.h would rename it

namespace dralmin {

// One page waiting for its upload: a JPEG file in the queue's folder, its length and checksum
// after the image.
struct QueuedPage {
  std::string name;        // the file's name; without ".jpg" it is the page's stable identifier
  std::uint64_t size = 0;  // of the file
  std::chrono::system_clock::time_point scanned;

  // The page's stable identifier, which its upload carries as its Idempotency-Key.
  std::string Id() const { return name.substr(0, name.rfind('.')); }
};

// A page's bytes, or why there are none.
struct PageRead {
  enum class Outcome {
    kRead,
    kDamaged,     // its file is not what was queued: moved aside (one line said), never sent
    kGone,        // its file is no longer there: nothing to send (one line said)
    kUnreadable,  // it could not be read now (no descriptor, an I/O error): it stays queued
  };
  Outcome outcome = Outcome::kRead;
  std::string bytes;  // the JPEG, when read
  std::string why;    // otherwise
};

struct ScanQueueLimits {
  std::chrono::hours keep{24};                         // scan_keep_hours
  std::uint64_t maxBytes = std::uint64_t{1024} << 20;  // scan_queue_mb
};

// The scanned pages not yet uploaded, first in first out, and the scan key they go out under.
// Each page is a file in `folder`, on the disk before it counts as queued and removed only once
// the receiver took it (or refused it for good); the key is a file there too. A new queue on the
// same folder (after a crash or a restart) has the same pages and key. Memory holds names and
// sizes only. Pages are appended on the scanning session's thread and taken on the gateway's
// poll thread; the lock is held only to move an entry in or out. One process owns the folder
// (one agent per user).
//
// The folder must be the agent's user's alone (platform's PrivateFolderRefusal) and its files are
// opened without following links: otherwise nothing is read from it or written to it. A page
// file that is not whole (its length or checksum do not match, or it is not the user's own
// regular file) is moved to "damaged" inside the folder and never sent. A page that cannot be
// deleted after its upload is renamed "<name>.sent", or else listed in `sentRecord` (a file on
// another disk, such as the runtime folder), so that a restart does not send it again.
class ScanQueue {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  ScanQueue(MessageBox& messages, std::string folder, ScanQueueLimits limits = {},
            Clock clock = &std::chrono::system_clock::now, std::string sentRecord = {});

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

  // The page's JPEG, checked against its length and checksum. A damaged or vanished page leaves
  // the queue (with a line); one that cannot be read now stays.
  PageRead Read(const QueuedPage& page);

  // Deletes a page that the receiver took (or will never take); one that cannot be deleted is
  // marked sent instead, with a line.
  void Remove(const QueuedPage& page);

  // What the status page should warn of: a folder that cannot be used, damaged pages set aside.
  std::vector<std::string> Warnings() const;

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
  void LoadPages();
  // The queued page a file of the folder is, or nothing when it is gone or set aside as damaged.
  std::optional<QueuedPage> Examine(const std::string& name, int64_t scannedMs);
  std::string PathOf(std::string_view name) const;
  bool Refuse(const std::string& why);
  void SetAside(const std::string& name, const std::string& why);
  void Forget(const std::string& name);
  bool RecordSent(const std::string& name);
  std::vector<std::string> SentRecord() const;

  MessageBox& messages_;
  const std::string folder_;
  const ScanQueueLimits limits_;
  const Clock clock_;
  const std::string sentRecord_;
  std::string refusal_;     // why the folder may not be used; set once, when the queue is made
  std::mutex appendMutex_;  // one append at a time, from its name to its entry
  mutable std::mutex mutex_;
  std::deque<QueuedPage> pages_;
  std::uint64_t bytes_ = 0;
  std::uint64_t nextNumber_ = 1;
  std::string key_;
  std::size_t damaged_ = 0;  // page files in the "damaged" folder
};

}  // namespace dralmin
