#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "gateway/Sockets.h"

namespace dralmin {

// Several users' agents on the same ports. Whichever agent holds the ports accepts every
// connection and, before reading a byte of it, passes the connection itself to the agent of the
// user who owns the other end (as the system's socket table says), which serves it with its own
// TLS, devices and settings. Every agent waits for such connections at a place named after its
// user and the plain port; the receiver checks the owner again and drops what is not its user's.
class PortSharing {
 public:
  // A connection accepted on (or handed over from) the plain port or the HTTPS port.
  enum class Port : std::uint8_t { Plain = 'p', Secure = 's' };
  using Serve = std::function<void(Socket socket, Port port)>;

  // False where this system has no way to pass connections between agents: one agent listens.
  static bool Supported();

  // Opens this user's waiting place for `httpPort`; connections handed over there that were
  // accepted on `httpPort` or `httpsPort` and belong to this user go to `serve` on the poll
  // thread. Throws std::system_error when it cannot open.
  PortSharing(boost::asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
              Serve serve);
  ~PortSharing();
  PortSharing(const PortSharing&) = delete;
  PortSharing& operator=(const PortSharing&) = delete;

  // For a connection the holder has just accepted: true when it is this agent's to serve (its
  // own user's, or from another machine); otherwise it has been passed on or closed, with a line
  // in the log when closed.
  bool KeepOrPass(Socket& socket, Port port);

  // Stops waiting for handed connections.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
