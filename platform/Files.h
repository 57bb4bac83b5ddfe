#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// Whether the last name of a path may be a symbolic link (on Windows, any reparse point). A user's
// settings may be links into a folder of dotfiles; what the agent keeps for itself may not.
enum class Links { kFollow, kRefuse };

// Opens an existing file for reading when it is a regular file, without ever waiting: a FIFO,
// a device or a folder is not opened (`notRegular` set) and neither blocks nor is touched, and
// with Links::kRefuse neither is a link. Returns the descriptor, or -1 with errno set or
// `notRegular`. Every file the agent reads by name is opened through this.
int OpenRegularFile(const std::string& path, bool& notRegular, Links links = Links::kFollow);

// A regular file's whole content (opened as OpenRegularFile does); nothing, with errno set, when
// it cannot be read (EINVAL for a FIFO, device, folder or a refused link).
std::optional<std::string> ReadFileWhole(const std::string& path, Links links = Links::kFollow);

// Why the folder `path` may not hold what the agent keeps for itself; empty when it may. It must
// be a folder, not a link to one, of the agent's user, that no other user may enter, and no
// folder above it may be changed by another user (but for a sticky one such as /tmp), so that
// nobody can read, swap or plant what is in it. (Windows: the owner is the user or the
// administrators, and the access list lets only them and the system in; the folders above are
// not looked at.)
std::string PrivateFolderRefusal(const std::string& path);

// A file the agent keeps for itself, read as OwnFileRefusal allows.
struct OwnFile {
  enum class Failure {
    kNone,
    kMissing,     // there is no file of that name
    kRefused,     // a link, not a regular file, another user's or open to others: not read
    kUnreadable,  // it could not be opened or read (out of descriptors, an I/O error)
  };
  Failure failure = Failure::kNone;
  std::string why;         // what was wrong, when something was
  std::uint64_t size = 0;  // the file's length
  std::string content;     // ReadOwnFile: all of it; ReadOwnFileEnds: the first bytes
  std::string tail;        // ReadOwnFileEnds: the last bytes
};

// Opens a file the agent keeps for itself for reading, by the rules of ReadOwnFile; the
// descriptor, or -1 with `file.failure` and `file.why` set. On success `file.size` is its length.
int OpenOwnFile(const std::string& path, OwnFile& file);

// The whole file, when it is a regular file (not through a link) of the agent's user, with no
// access for other users; never waits.
OwnFile ReadOwnFile(const std::string& path);

// The same checks, and only the first and last `bytes` bytes (fewer when the file is shorter):
// enough to tell a file's kind and length without reading it all.
OwnFile ReadOwnFileEnds(const std::string& path, std::size_t bytes);

// Files written whole: a new file beside the old one, synced, then put in its place, so that a
// reader sees either the old content or the new one.

// Creates a new file named `path` plus a unique suffix, open for writing (binary) and for the
// agent's user alone; its name is stored in `temporary`. Returns the descriptor, or -1 with errno
// set.
int CreateFileBeside(const std::string& path, std::string& temporary);

// Flushes the file's data to the disk; false with errno set when it cannot.
bool SyncFile(int fd);

// Puts the file `from` in the place of `to`, replacing `to` when it exists; false with errno set.
bool PutInPlace(const std::string& from, const std::string& to);

// Removes the file; true when it is gone (a missing file is no error), false with errno set.
bool RemoveFile(const std::string& path);

// Makes the folder's entries (files created, renamed or removed in it) durable; false with errno
// set when it cannot.
bool SyncFolder(const std::string& path);

// The step at which WriteFileWhole failed.
enum class WriteFailure { kNone, kCreate, kWrite, kReplace };

// Writes `content` as the whole of `path` by the steps above; no temporary file stays behind.
// kNone when done, otherwise the step that failed, with errno set.
WriteFailure WriteFileWhole(const std::string& path, std::string_view content);

}  // namespace dralmin
