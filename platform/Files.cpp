#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dralmin {

namespace {

// Appends up to `count` bytes read from `fd` (until its end when there are fewer); false, with
// errno set, when a read fails.
bool ReadUpTo(int fd, std::size_t count, std::string& out) {
  char buffer[65536];
  while (count > 0) {
    const auto wanted = static_cast<unsigned>(std::min(count, sizeof buffer));
    const auto got = read(fd, buffer, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

void CloseKeepingErrno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
}

OwnFile Unreadable(int fd, std::string what) {
  OwnFile file;
  file.failure = OwnFile::Failure::kUnreadable;
  file.why = std::move(what) + ": " + std::strerror(errno);
  CloseKeepingErrno(fd);
  return file;
}

}  // namespace

std::optional<std::string> ReadFileWhole(const std::string& path, Links links) {
  bool notRegular = false;
  const int fd = OpenRegularFile(path, notRegular, links);
  if (fd < 0) {
    if (notRegular) errno = EINVAL;
    return std::nullopt;
  }
  std::string content;
  const bool read = ReadUpTo(fd, static_cast<std::size_t>(-1), content);
  CloseKeepingErrno(fd);
  if (!read) return std::nullopt;
  return content;
}

OwnFile ReadOwnFile(const std::string& path) {
  OwnFile file;
  const int fd = OpenOwnFile(path, file);
  if (fd < 0) return file;
  if (!ReadUpTo(fd, static_cast<std::size_t>(-1), file.content)) {
    return Unreadable(fd, "it could not be read");
  }
  close(fd);
  return file;
}

OwnFile ReadOwnFileEnds(const std::string& path, std::size_t bytes) {
  OwnFile file;
  const int fd = OpenOwnFile(path, file);
  if (fd < 0) return file;
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, file.size));
  if (!ReadUpTo(fd, count, file.content)) return Unreadable(fd, "it could not be read");
  if (count < file.size) {
    if (lseek(fd, static_cast<long>(file.size - count), SEEK_SET) < 0 ||
        !ReadUpTo(fd, count, file.tail)) {
      return Unreadable(fd, "its end could not be read");
    }
  } else {
    file.tail = file.content;
  }
  close(fd);
  return file;
}

WriteFailure WriteFileWhole(const std::string& path, std::string_view content) {
  std::string temporary;
  const int fd = CreateFileBeside(path, temporary);
  if (fd < 0) return WriteFailure::kCreate;
  bool written = true;
  while (written && !content.empty()) {
    const auto count = write(fd, content.data(), static_cast<unsigned>(content.size()));
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) content.remove_prefix(static_cast<size_t>(count));
  }
  written = written && SyncFile(fd);
  int error = errno;
  close(fd);
  if (written) {
    if (PutInPlace(temporary, path)) return WriteFailure::kNone;
    error = errno;
  }
  RemoveFile(temporary);
  errno = error;
  return written ? WriteFailure::kReplace : WriteFailure::kWrite;
}

}  // namespace dralmin
