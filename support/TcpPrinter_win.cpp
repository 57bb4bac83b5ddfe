#include <winsock2.h>
#include <ws2tcpip.h>

#include <utility>

#include "platform/WideText.h"
#include "support/TcpPrinter.h"

namespace dralmin {
namespace {

using Clock = std::chrono::steady_clock;

// Owns one socket and closes it.
class OwnedSocket {
 public:
  explicit OwnedSocket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
  ~OwnedSocket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  SOCKET get() const { return socket_; }
  SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }

 private:
  SOCKET socket_;
};

// Waits for `events` on the socket until the deadline; the events that came (an error or a
// hang-up among them), or 0 on timeout (WSAETIMEDOUT) or error.
SHORT WaitFor(SOCKET socket, SHORT events, Clock::time_point deadline) {
  WSAPOLLFD entry{socket, events, 0};
  const int ready = WSAPoll(&entry, 1, MillisecondsLeft(deadline));
  if (ready == 0) WSASetLastError(WSAETIMEDOUT);
  return ready > 0 ? entry.revents : 0;
}

std::string Why() {
  return SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
}

// A connected non-blocking socket, or INVALID_SOCKET with the reason of the last address failed
// as the last error.
SOCKET Connect(const PrinterEndpoint& endpoint, std::chrono::milliseconds timeout) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw PrinterException("no network: " + Why());
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &found) != 0) {
    throw PrinterException("printer " + endpoint.host + " not found: " + Why());
  }
  const auto deadline = Clock::now() + timeout;
  SOCKET connected = INVALID_SOCKET;
  int lastError = WSAECONNREFUSED;
  for (addrinfo* candidate = found; candidate != nullptr && connected == INVALID_SOCKET;
       candidate = candidate->ai_next) {
    OwnedSocket socket(WSASocketW(candidate->ai_family, candidate->ai_socktype,
                                  candidate->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    u_long nonBlocking = 1;
    if (socket.get() == INVALID_SOCKET || ioctlsocket(socket.get(), FIONBIO, &nonBlocking) != 0) {
      lastError = WSAGetLastError();
      continue;
    }
    int error = 0;
    if (connect(socket.get(), candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) != 0) {
      error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        // Failure shows as an exception condition; the reason is in SO_ERROR.
        int length = sizeof error;
        error = 0;
        if (!WaitFor(socket.get(), POLLWRNORM, deadline)) {
          error = WSAGetLastError();
        } else if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                              &length) != 0) {
          error = WSAGetLastError();
        }
      }
    }
    if (error == 0) {
      connected = socket.release();
    } else {
      lastError = error;
    }
  }
  freeaddrinfo(found);
  WSASetLastError(lastError);
  return connected;
}

}  // namespace

void TcpPrinter::Send(std::string_view job) {
  const PrinterEndpoint endpoint = SplitPrinterAddress(address_);
  const OwnedSocket socket(Connect(endpoint, timeouts_.connect));
  if (socket.get() == INVALID_SOCKET) {
    throw PrinterException("printer " + address_ + " unreachable: " + Why());
  }
  const auto writeDeadline = Clock::now() + timeouts_.write;
  while (!job.empty()) {
    const int sent = send(socket.get(), job.data(), static_cast<int>(job.size()), 0);
    if (sent >= 0) {
      job.remove_prefix(static_cast<size_t>(sent));
    } else if (WSAGetLastError() != WSAEWOULDBLOCK ||
               !WaitFor(socket.get(), POLLWRNORM, writeDeadline)) {
      throw PrinterException("printer " + address_ + " stopped taking the job: " + Why());
    }
  }
  // As on POSIX: let the printer read up and close first, within a short time, so that status
  // bytes of its own do not make the close reset the connection before it has read the job.
  shutdown(socket.get(), SD_SEND);
  const auto drainDeadline = Clock::now() + timeouts_.drain;
  char discard[512];
  while (const SHORT events = WaitFor(socket.get(), POLLRDNORM, drainDeadline)) {
    const int got = recv(socket.get(), discard, sizeof discard, 0);
    // A printer that closes with part of the job unread resets the connection: not printed.
    // (Wine shows the reset only as an error event, and recv then sees an orderly end.)
    const bool reset = got < 0 ? WSAGetLastError() == WSAECONNRESET
                               : got == 0 && (events & POLLERR) != 0;
    if (reset) {
      WSASetLastError(WSAECONNRESET);
      throw PrinterException("printer " + address_ + " dropped the job: " + Why());
    }
    if (got == 0 || (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) break;
  }
}

}  // namespace dralmin
