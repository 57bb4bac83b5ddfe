// The port broker: holds the agents' ports for every user of a shared machine and passes each
// connection to the agent of the user at its other end. Started by the system, as a user of its
// own; it reads no byte of any connection and knows no device.

#include <sys/socket.h>
#include <unistd.h>

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <netinet/in.h>
#include <boost/asio.hpp>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "broker/BrokerOptions.h"
#include "broker/Listening.h"
#include "broker/PortBroker.h"
#include "platform/Log.h"

namespace {

using namespace dralmin;

// The sockets the system opened for this service (its socket unit), as its protocol passes
// them: from descriptor 3 on, when they are meant for this process.
std::vector<int> PassedSockets() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || std::atol(pid) != getpid()) return {};
  std::vector<int> fds;
  for (int fd = 3; fd < 3 + std::atoi(count); ++fd) fds.push_back(fd);
  return fds;
}

// Puts the passed sockets to use; false when one is of no use here.
bool UsePassed(PortBroker& broker, const std::vector<int>& fds, const BrokerOptions& options) {
  bool rendezvous = false;
  for (const int fd : fds) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    if (address.ss_family == AF_UNIX) {
      broker.SetRendezvous(fd);
      rendezvous = true;
      continue;
    }
    const std::uint16_t port =
        ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(address).sin_port);
    if (port == options.ports.http) {
      broker.AddListener(fd, SharedPort::kPlain);
    } else if (port == options.ports.https) {
      broker.AddListener(fd, SharedPort::kSecure);
    } else {
      LogError("ports", "a socket passed in listens on port " + std::to_string(port) +
                            ", which is neither the HTTP nor the HTTPS port");
      return false;
    }
  }
  if (!rendezvous) LogError("ports", "no rendezvous socket was passed in");
  return rendezvous;
}

// Opens the ports and the rendezvous itself; false, with a line saying why, when one cannot be.
bool OpenOwn(PortBroker& broker, const BrokerOptions& options) {
  for (const std::string address : {"127.0.0.1", "::1"}) {
    for (const auto& [port, kind] : {std::pair{options.ports.http, SharedPort::kPlain},
                                     std::pair{options.ports.https, SharedPort::kSecure}}) {
      int error = 0;
      const int fd = OpenTcpListener(address, port, error);
      if (fd >= 0) {
        broker.AddListener(fd, kind);
        continue;
      }
      if (address == "::1" && IsNoIpv6(error)) continue;  // nobody can take it either
      LogError("ports", "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                            ListenFailure(address, port, error));
      return false;
    }
  }
  int error = 0;
  const int fd = OpenLocalListener(options.rendezvous, error);
  if (fd < 0) {
    LogError("ports",
             "cannot open the rendezvous " + options.rendezvous + ": " + std::strerror(error));
    return false;
  }
  broker.SetRendezvous(fd);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  BrokerOptions options;
  if (const int status = ParseBrokerOptions({argv + 1, argv + argc}, options, std::cout, std::cerr);
      status >= 0) {
    return status;
  }
  boost::asio::io_context io(1);
  PortBroker broker(io, options.ports);
  const std::vector<int> passed = PassedSockets();
  if (!(passed.empty() ? OpenOwn(broker, options) : UsePassed(broker, passed, options))) return 1;
  LogInfo("ports", "holding ports " + std::to_string(options.ports.http) + " and " +
                       std::to_string(options.ports.https) + " for every user's agent");
  boost::asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&](boost::system::error_code, int) {
    broker.Close();
    io.stop();
  });
  io.run();
  // The rendezvous stays: agents registered with this broker wait there for its restart rather
  // than take the ports it is about to open again. The next start replaces it.
  return 0;
}
