#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/InstanceLock.h"
#include "platform/Paths.h"

namespace dralmin {

InstanceLock::InstanceLock(const std::string& name) {
  const std::string path = RuntimeFolder() + "/" + name + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

InstanceLock::~InstanceLock() {
  // The file stays: removing it would let a newcomer lock a fresh file while another waits on
  // the old one.
  if (fd_ >= 0) close(fd_);
}

}  // namespace dralmin
