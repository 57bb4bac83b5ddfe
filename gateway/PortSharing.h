#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker/BrokerProtocol.h"
#include "gateway/Sockets.h"
#include "platform/PeerOwner.h"

namespace dralmin {

// Who holds the agent's ports, for the status page; shared between the poll thread, which
// writes it, and the status page's reader.
struct PortsView {
  enum class Holder { kNone, kThisAgent, kBroker, kOtherAgent };
  Holder holder = Holder::kNone;
  LocalUser holderUser = 0;                // kOtherAgent: whose agent
  std::vector<std::string> plain, secure;  // kThisAgent: the addresses held, "127.0.0.1:8081"
  struct Registration {
    LocalUser user = 0;
    std::uint32_t process = 0;
  };
  std::vector<Registration> registered;  // kThisAgent: other users' agents registered here
};

class PortsReport {
 public:
  void Set(PortsView view) {
    std::lock_guard lock(mutex_);
    view.registered = std::move(view_.registered);
    view_ = std::move(view);
  }
  // From the thread that takes the registrations.
  void SetRegistered(std::vector<PortsView::Registration> registered) {
    std::lock_guard lock(mutex_);
    view_.registered = std::move(registered);
  }
  PortsView Get() const {
    std::lock_guard lock(mutex_);
    PortsView view = view_;
    if (view.holder != PortsView::Holder::kThisAgent) view.registered.clear();
    return view;
  }

 private:
  mutable std::mutex mutex_;
  PortsView view_;
};

struct SharingSettings {
  std::string listenAddress = "127.0.0.1";
  std::uint16_t httpPort = 8081;
  std::uint16_t httpsPort = 8433;
  // The port broker's rendezvous; empty, or nothing there: no broker, this agent holds the
  // ports or registers with the agent that does.
  std::string brokerSocket;
  PortsReport* report = nullptr;
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
