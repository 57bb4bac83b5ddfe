#include "support/DeviceFilePrinter.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "support/FileDescriptor.h"

namespace dralmin {

DeviceFilePrinter::DeviceFilePrinter(std::string path, PrinterTimeouts timeouts)
    : path_(std::move(path)), timeouts_(timeouts) {}

void DeviceFilePrinter::Send(std::string_view job) {
  // Non-blocking, so that a printer that is off line or out of labels costs a timeout rather than
  // a gateway that hangs; append, so that a capture file collects every job.
  const FileDescriptor device(
      open(path_.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!device.ok()) {
    throw PrinterException("printer " + path_ + " unavailable: " + std::strerror(errno));
  }
  const auto deadline = std::chrono::steady_clock::now() + timeouts_.write;
  while (!job.empty()) {
    const ssize_t written = write(device.get(), job.data(), job.size());
    if (written >= 0) {
      job.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw PrinterException("printer " + path_ +
                             " stopped taking the job: " + std::strerror(errno));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{device.get(), POLLOUT, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) == 0) {
      throw PrinterException("printer " + path_ + " does not take the job");
    }
  }
}

}  // namespace dralmin
