#pragma once

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker/BrokerProtocol.h"
#include "broker/Registrations.h"
#include "platform/PeerOwner.h"

namespace dralmin {

// A socket as the system names it: a descriptor, or a Windows SOCKET.
#ifdef _WIN32
using BrokerSocket = std::uintptr_t;
#else
using BrokerSocket = int;
#endif

// Holds the shared ports for every user of the machine: accepts each connection and, before
// reading a byte of it, asks the kernel which user owns the other end, then passes the connection
// to that user's registered agent. A connection whose other end is no longer open in a process,
// or whose user has no agent, is closed. Runs on the io_context it is given, which nothing else
// may hold up: no device and no upload ever waits in front of a handover. Used by the port
// broker the system starts, and by an agent that holds the ports itself for want of one.
class PortBroker {
 public:
  // Takes a connection's descriptor (its own now) and the port that accepted it.
  using Serve = std::function<void(BrokerSocket connection, SharedPort port)>;

  PortBroker(boost::asio::io_context& io, rendezvous::Ports ports);
  ~PortBroker();
  PortBroker(const PortBroker&) = delete;
  PortBroker& operator=(const PortBroker&) = delete;

  // The connections of `user` go to `serve` in this process rather than to a registration: the
  // agent that holds the ports serves its own user so.
  void ServeHere(LocalUser user, Serve serve);
  // Connections from other machines (no owner on this one) go to `serve`; without it they are
  // closed.
  void ServeRemote(Serve serve);

  // Takes over a listening TCP socket for `port`, and accepts on it.
  void AddListener(BrokerSocket listener, SharedPort port);
#ifdef _WIN32
  // Takes the registrations at the named pipe `name`, whose first instance this makes: false,
  // with `why`, when another process has the name.
  bool ListenAt(const std::string& name, std::string& why);
#else
  // Takes over the listening local stream socket at which agents register.
  void SetRendezvous(int listener);
#endif

  // Stops accepting and lets every registration go; from the io_context's thread.
  void Close();

  using Registration = BrokerRegistration;
  // The agents registered now; from any thread.
  std::vector<Registration> Registered() const;
  // Told the registrations after each change, on the io_context's thread.
  void OnRegistrations(std::function<void(const std::vector<Registration>&)> told);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
