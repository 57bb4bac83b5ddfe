#include "support/TcpPrinter.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "support/FileDescriptor.h"

namespace dralmin {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for `events` on the socket until the deadline; false on timeout (errno ETIMEDOUT).
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, MillisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// A connected non-blocking socket, or -1 with errno telling why the last address failed.
int Connect(const PrinterEndpoint& endpoint, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &found);
  if (lookup != 0) {
    throw PrinterException("printer " + endpoint.host + " not found: " + gai_strerror(lookup));
  }
  const auto deadline = Clock::now() + timeout;
  int connected = -1;
  int lastError = ECONNREFUSED;
  for (addrinfo* candidate = found; candidate != nullptr && connected < 0;
       candidate = candidate->ai_next) {
    const int fd =
        socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
               candidate->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    int error = 0;
    if (connect(fd, candidate->ai_addr, candidate->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        socklen_t length = sizeof error;
        if (!WaitFor(fd, POLLOUT, deadline) ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
          error = errno;
        }
      }
    }
    if (error == 0) {
      connected = fd;
    } else {
      lastError = error;
      close(fd);
    }
  }
  freeaddrinfo(found);
  errno = lastError;
  return connected;
}

}  // namespace

void TcpPrinter::Send(std::string_view job) {
  const PrinterEndpoint endpoint = SplitPrinterAddress(address_);
  const FileDescriptor socket(Connect(endpoint, timeouts_.connect));
  if (!socket.ok()) {
    throw PrinterException("printer " + address_ + " unreachable: " + std::strerror(errno));
  }
  const auto writeDeadline = Clock::now() + timeouts_.write;
  while (!job.empty()) {
    const ssize_t sent = send(socket.get(), job.data(), job.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      job.remove_prefix(static_cast<size_t>(sent));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(socket.get(), POLLOUT, writeDeadline)) {
        throw PrinterException("printer " + address_ +
                               " stopped taking the job: " + std::strerror(errno));
      }
    } else if (errno != EINTR) {
      throw PrinterException("printer " + address_ +
                             " stopped taking the job: " + std::strerror(errno));
    }
  }
  // Closing right away could reset the connection before the printer has read the job when it
  // has sent status bytes of its own; let it read up and close first, within a short time.
  shutdown(socket.get(), SHUT_WR);
  const auto drainDeadline = Clock::now() + timeouts_.drain;
  char discard[512];
  while (WaitFor(socket.get(), POLLIN, drainDeadline)) {
    const ssize_t got = recv(socket.get(), discard, sizeof discard, 0);
    // A printer that closes with part of the job unread resets the connection: not printed.
    if (got < 0 && errno == ECONNRESET) {
      throw PrinterException("printer " + address_ + " dropped the job: " + std::strerror(errno));
    }
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) break;
  }
}

}  // namespace dralmin
