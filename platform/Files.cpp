#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace dralmin {

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
