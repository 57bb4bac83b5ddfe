#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/StopSignals.h"

namespace dralmin {

StopSignals::StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  fd_ = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
  if (fd_ >= 0) close(fd_);
}

bool StopSignals::Consume() {
  bool stopped = false;
  signalfd_siginfo info;
  while (fd_ >= 0 && read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    stopped = true;
  }
  return stopped;
}

}  // namespace dralmin
