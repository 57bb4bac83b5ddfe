#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "broker/BrokerProtocol.h"
#include "gateway/Sockets.h"
#include "platform/PeerOwner.h"

namespace dralmin {

// Connections passed between the agents of several logon sessions on the same ports. Whichever
// agent holds the ports accepts every connection and, before reading a byte of it, passes the
// connection itself (duplicated for the receiving process) to the agent of the session whose
// process owns the other end (as the system's TCP table says), which serves it with its own TLS,
// devices and settings. Every agent waits for such connections at a named pipe named after its
// session and the plain port; the receiver checks the owner again and drops what is not its
// session's.
class SessionHandover {
 public:
  using Port = SharedPort;
  using Serve = std::function<void(Socket socket, Port port)>;
  // A connection accepted and judged: the one to serve here, none when it was passed on or
  // closed, or the error of the accept.
  using Accepted = std::function<void(boost::system::error_code, std::optional<Socket>)>;

  // Opens this session's waiting place for `httpPort`; connections handed over there that were
  // accepted on `httpPort` or `httpsPort` and belong to this session go to `serve` on the poll
  // thread. Throws std::system_error when it cannot open.
  SessionHandover(boost::asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
                  Serve serve);
  // The same, as the agent of `self` rather than of this process's session: tests, where every
  // process is in one session (as under Wine).
  SessionHandover(boost::asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
                  Serve serve, LocalUser self);
  ~SessionHandover();
  SessionHandover(const SessionHandover&) = delete;
  SessionHandover& operator=(const SessionHandover&) = delete;

  // Accepts the next connection on `acceptor` (the holder's, of `port`) and, before reading a
  // byte of it, judges it: this agent's to serve when it is its own session's or from another
  // machine; otherwise it is passed on or closed, with a line in the log when closed. The accept
  // is this class's own: a connection must be passed on before this process's I/O takes it up,
  // as a socket tied to one process's completion port cannot be served by another.
  void AsyncAccept(Acceptor& acceptor, Port port, Accepted done);

  // Stops waiting for handed connections.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
