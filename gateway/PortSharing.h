#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "gateway/Sockets.h"
#include "platform/PeerOwner.h"

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
  // A connection accepted and judged: the one to serve here, none when it was passed on or
  // closed, or the error of the accept.
  using Accepted = std::function<void(boost::system::error_code, std::optional<Socket>)>;

  // False where this system has no way to pass connections between agents: one agent listens.
  static bool Supported();

  // Opens this user's waiting place for `httpPort`; connections handed over there that were
  // accepted on `httpPort` or `httpsPort` and belong to this user go to `serve` on the poll
  // thread. Throws std::system_error when it cannot open.
  PortSharing(boost::asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
              Serve serve);
  // The same, as the agent of `self` rather than of the user this process runs as: tests, where
  // every process is of one user (one session under Wine).
  PortSharing(boost::asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
              Serve serve, LocalUser self);
  ~PortSharing();
  PortSharing(const PortSharing&) = delete;
  PortSharing& operator=(const PortSharing&) = delete;

  // Accepts the next connection on `acceptor` (the holder's, of `port`) and, before reading a
  // byte of it, judges it: this agent's to serve when it is its own user's or from another
  // machine; otherwise it is passed on or closed, with a line in the log when closed. The accept
  // is this class's own: on Windows a connection must be passed on before this process's I/O
  // takes it up, as a socket tied to one process's completion port cannot be served by another.
  void AsyncAccept(Acceptor& acceptor, Port port, Accepted done);

  // Stops waiting for handed connections.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
