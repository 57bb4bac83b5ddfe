#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Environment.h"
#include "platform/InstanceLock.h"

namespace dralmin {

std::string InstanceLockPath(const std::string& name) {
  const std::string folder = EnvOr("XDG_RUNTIME_DIR", "");
  if (!folder.empty()) return folder + "/" + name + ".lock";
  return "/tmp/" + name + "-" + std::to_string(geteuid()) + ".lock";
}

InstanceLock::InstanceLock(const std::string& path) {
  // No link is followed: in a shared folder it could point anywhere.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error_ = "cannot open the lock file " + path + ": " + std::strerror(errno);
    return;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    // Someone else's file would let them stop this user's agent by holding it.
    error_ = "the lock file " + path + " is not a file of this user";
    close(fd);
    return;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
      state_ = State::HeldByPeer;
    } else {
      error_ = "cannot lock " + path + ": " + std::strerror(error);
    }
    return;
  }
  fd_ = fd;
  state_ = State::Held;
}

InstanceLock::~InstanceLock() {
  // The file stays: removing it would let a newcomer lock a fresh file while another waits on
  // the old one.
  if (fd_ >= 0) close(fd_);
}

}  // namespace dralmin
