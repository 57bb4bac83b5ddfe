#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace dralmin {

std::optional<std::string> ReadFileWhole(const std::string& path) {
  bool notRegular = false;
  const int fd = OpenRegularFile(path, notRegular);
  if (fd < 0) {
    if (notRegular) errno = EINVAL;
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    const auto count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      const int error = errno;
      close(fd);
      errno = error;
      if (count < 0) return std::nullopt;
      return content;
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
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
