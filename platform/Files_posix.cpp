#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace dralmin {

int OpenRegularFile(const std::string& path, bool& notRegular, Links links) {
  notRegular = false;
  // Looked at before opening: opening a FIFO waits for a writer, opening a device may act on it.
  struct stat status {};
  const int looked =
      links == Links::kFollow ? stat(path.c_str(), &status) : lstat(path.c_str(), &status);
  if (looked != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    notRegular = true;
    return -1;
  }
  // Does not wait either, should the name have been given to a FIFO (or a link) meanwhile.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                        (links == Links::kRefuse ? O_NOFOLLOW : 0));
  if (fd < 0) {
    if (errno == ELOOP) notRegular = true;
    return -1;
  }
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    notRegular = true;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

namespace {

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why what `status` describes is not this user's alone; empty when it is.
std::string NotOwnRefusal(const struct stat& status) {
  if (status.st_uid != geteuid()) {
    return "it belongs to user " + std::to_string(status.st_uid) + ", not to this agent's user " +
           std::to_string(geteuid());
  }
  if ((status.st_mode & 077) != 0) {
    return "other users may use it (mode " + Mode(status.st_mode) + ")";
  }
  return {};
}

}  // namespace

int OpenOwnFile(const std::string& path, OwnFile& file) {
  const auto fail = [&](OwnFile::Failure failure, std::string why) {
    file.failure = failure;
    file.why = std::move(why);
    return -1;
  };
  bool notRegular = false;
  const int fd = OpenRegularFile(path, notRegular, Links::kRefuse);
  if (fd < 0) {
    if (notRegular) return fail(OwnFile::Failure::kRefused, "it is a link or not a regular file");
    const std::string why = std::strerror(errno);
    return fail(errno == ENOENT ? OwnFile::Failure::kMissing : OwnFile::Failure::kUnreadable,
                "it cannot be opened: " + why);
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const std::string why = std::strerror(errno);
    close(fd);
    return fail(OwnFile::Failure::kUnreadable, "it cannot be looked at: " + why);
  }
  if (std::string why = NotOwnRefusal(status); !why.empty()) {
    close(fd);
    return fail(OwnFile::Failure::kRefused, std::move(why));
  }
  file.size = static_cast<std::uint64_t>(status.st_size);
  return fd;
}

std::string PrivateFolderRefusal(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0)
    return std::string("it cannot be looked at: ") + std::strerror(errno);
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is not a folder";
  if (std::string why = NotOwnRefusal(status); !why.empty()) return why;
  // Whoever may change a folder above may rename this one away and put another in its place.
  for (std::string above = FolderOf(path); !above.empty(); above = FolderOf(above)) {
    if (stat(above.c_str(), &status) != 0) break;
    if (status.st_uid != geteuid() && status.st_uid != 0) {
      return "the folder " + above + " above it belongs to user " + std::to_string(status.st_uid);
    }
    if ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0) {
      return "every user may change the folder " + above + " above it (mode " +
             Mode(status.st_mode) + ")";
    }
    if (above == "/") break;
  }
  return {};
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

bool RemoveFile(const std::string& path) {
  return unlink(path.c_str()) == 0 || errno == ENOENT;
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
