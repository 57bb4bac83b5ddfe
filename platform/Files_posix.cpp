#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/Files.h"

namespace dralmin {

int OpenRegularFile(const std::string& path, bool& notRegular) {
  notRegular = false;
  // Looked at before opening: opening a FIFO waits for a writer, opening a device may act on it.
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    notRegular = true;
    return -1;
  }
  // Does not wait either, should the name have been given to a FIFO meanwhile.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    notRegular = true;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int CreateFileBeside(const std::string& path, std::string& temporary) {
  temporary = path + ".XXXXXX";
  return mkostemp(temporary.data(), O_CLOEXEC);
}

bool SyncFile(int fd) {
  return fsync(fd) == 0;
}

bool PutInPlace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void RemoveFile(const std::string& path) {
  unlink(path.c_str());
}

bool SyncFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return synced;
}

}  // namespace dralmin
