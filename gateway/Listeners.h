#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker/BrokerProtocol.h"
#include "gateway/PortSharing.h"
#include "gateway/Sockets.h"

namespace dralmin {

// Listening acceptors for `port` on `address` and, where it stands for this machine's IPv4
// loopback, on ::1 too: a page's `localhost` may resolve to either, and another program must not
// take the other. Each holds its port alone (ListenerPortUse); ::1 is left out where the machine
// has no IPv6, as nobody can take it there either. Port 0 picks a free port, the same on every
// address. ListenerError when one cannot be opened; none of them stays open then.
std::vector<Acceptor> OpenListeners(boost::asio::io_context& io, const std::string& address,
                                    std::uint16_t port);

// The same, but nullopt when the port is in use on `address` itself: another agent may hold it.
std::optional<std::vector<Acceptor>> OpenListenersUnlessTaken(boost::asio::io_context& io,
                                                              const std::string& address,
                                                              std::uint16_t port);

// Accepts connection after connection on one listening acceptor and gives each to `serve`, on
// the acceptor's thread, until it is closed.
class Listener {
 public:
  // The result of one accept: the connection to serve, or none when there is nothing to serve.
  using Accepted = std::function<void(boost::system::error_code, std::optional<Socket>)>;
  // One accept on the acceptor, when it is not Asio's own.
  using AcceptOne = std::function<void(Acceptor&, Accepted)>;
  using Serve = std::function<void(Socket, SharedPort)>;

  // Starts accepting at once.
  Listener(Acceptor acceptor, SharedPort port, Serve serve, AcceptOne accept = nullptr);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void Close();
  const Acceptor& acceptor() const { return acceptor_; }
  SharedPort port() const { return port_; }

 private:
  void Accept();
  void Done(boost::system::error_code ec, std::optional<Socket> socket);

  Acceptor acceptor_;
  Timer retry_;
  SharedPort port_;
  Serve serve_;
  AcceptOne accept_;

  static constexpr std::chrono::milliseconds kAcceptRetry{100};
};

// The ports as `listeners` hold them, for the status page: this agent's, at their addresses
// ("127.0.0.1:8081", "[::1]:8081").
PortsView HeldPorts(const std::vector<std::unique_ptr<Listener>>& listeners);

// Where `acceptor` listens, as the status page shows it; empty when it is closed.
std::string HeldAt(const Acceptor& acceptor);

}  // namespace dralmin
