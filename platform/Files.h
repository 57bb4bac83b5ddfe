#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// Opens an existing file for reading when it is a regular file, without ever waiting: a FIFO,
// a device or a folder is not opened (`notRegular` set) and neither blocks nor is touched.
// Returns the descriptor, or -1 with errno set or `notRegular`.
int OpenRegularFile(const std::string& path, bool& notRegular);

// A regular file's whole content (opened as OpenRegularFile does); nothing, with errno set, when
// it cannot be read (EINVAL for a FIFO, device or folder).
std::optional<std::string> ReadFileWhole(const std::string& path);

// Files written whole: a new file beside the old one, synced, then put in its place, so that a
// reader sees either the old content or the new one.

// Creates a new file named `path` plus a unique suffix, open for writing (binary); its name is
// stored in `temporary`. Returns the descriptor, or -1 with errno set.
int CreateFileBeside(const std::string& path, std::string& temporary);

// Flushes the file's data to the disk; false with errno set when it cannot.
bool SyncFile(int fd);

// Puts the file `from` in the place of `to`, replacing `to` when it exists; false with errno set.
bool PutInPlace(const std::string& from, const std::string& to);

// Removes the file; a missing file is no error.
void RemoveFile(const std::string& path);

// Makes the folder's entries (files created, renamed or removed in it) durable; false with errno
// set when it cannot.
bool SyncFolder(const std::string& path);

// The step at which WriteFileWhole failed.
enum class WriteFailure { kNone, kCreate, kWrite, kReplace };

// Writes `content` as the whole of `path` by the steps above; no temporary file stays behind.
// kNone when done, otherwise the step that failed, with errno set.
WriteFailure WriteFileWhole(const std::string& path, std::string_view content);

}  // namespace dralmin
