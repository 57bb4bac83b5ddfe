#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker/BrokerProtocol.h"
#include "gateway/PortsReport.h"
#include "gateway/Sockets.h"
#include "platform/PeerOwner.h"

namespace dralmin {

struct SharingSettings {
  std::string listenAddress = "127.0.0.1";
  std::uint16_t httpPort = 8081;
  std::uint16_t httpsPort = 8433;
  // The port broker's rendezvous; empty, or nothing there: no broker, this agent holds the
  // ports or registers with the agent that does.
  std::string brokerSocket;
  PortsReport* report = nullptr;
  // The server's open connections and how many it holds at most: connections accepted for this
  // agent beyond that are closed at once, as the server would close them.
  const std::atomic<std::size_t>* connectionsOpen = nullptr;
  std::size_t mostConnections = 0;
};

// Several users' agents on the same ports. Where the system runs the port broker, it holds the
// ports and this agent registers with it; otherwise the first agent holds them itself, and
// takes the registrations of the others. Whoever holds them accepts every connection and, before
// reading a byte of it, passes it to the agent of the user who owns the other end (as the
// system's socket table says), which serves it with its own TLS, devices and settings. The
// holder learns each registered agent's user from the kernel; an agent registered with another
// user's agent checks each connection's owner again and drops what is not its user's.
class PortSharing {
 public:
  using Port = SharedPort;
  // A connection to serve, accepted on (or passed from) the plain or the HTTPS port; on the
  // poll thread.
  using Serve = std::function<void(Socket socket, Port port)>;

  // False where this system has no way to pass connections between agents: one agent listens.
  static bool Supported();

  // Holds the ports, or registers with the broker or the agent that holds them. ListenerError
  // when a port is held by a program that does not answer as an agent, or cannot be opened.
  PortSharing(boost::asio::io_context& poll, const SharingSettings& settings, Serve serve);
  ~PortSharing();
  PortSharing(const PortSharing&) = delete;
  PortSharing& operator=(const PortSharing&) = delete;

  // The certificate is loaded: HTTPS connections are served from now on, and the HTTPS port is
  // held when this agent holds the ports (ListenerError when it cannot be).
  void ServeSecure();

  // Stops serving and holding; on the poll thread.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
