#include "gateway/PortSharing.h"

#include <string>
#include <system_error>
#include <utility>

#include "broker/RefusalLog.h"
#include "gateway/BrokerClient_win.h"
#include "gateway/GatewayServer.h"
#include "gateway/Listeners.h"
#include "gateway/SessionHandover_win.h"
#include "platform/Log.h"

namespace dralmin {

// Where the port broker service runs, this agent registers at its pipe and serves what it hands
// over. Without one, the first session's agent holds the ports itself and passes other sessions'
// connections to their agents through SessionHandover; the others wait for theirs and take the
// ports over when it ends.
struct PortSharing::Impl {
  Impl(boost::asio::io_context& io, const SharingSettings& s, Serve serveFn)
      : poll(io), settings(s), serve(std::move(serveFn)), takeover(io) {}

  void Start() {
    if (TryBroker(/*firstTime=*/true)) return;
    HoldOrWait();
  }

  // Registers with the port broker when its service serves the pipe of the port_broker setting.
  bool TryBroker(bool firstTime) {
    if (settings.brokerSocket.empty()) return false;
    auto client = std::make_unique<BrokerClient>(
        poll, settings.brokerSocket, rendezvous::Ports{settings.httpPort, settings.httpsPort},
        serve, [this] { LostBroker(); });
    std::string why;
    rendezvous::Ports theirs;
    const std::string place = "the port broker at " + settings.brokerSocket;
    switch (client->Register(why, theirs)) {
      case BrokerClient::Outcome::kRegistered:
        break;
      case BrokerClient::Outcome::kNoBroker:
        return false;
      case BrokerClient::Outcome::kAlreadyThere:
        throw ListenerError(settings.listenAddress, settings.httpPort,
                            "another agent of this session is registered with the port broker");
      case BrokerClient::Outcome::kNotTrusted:
        if (firstTime) {
          LogWarning("ports", place + " is not trusted: " + why + "; this agent does without it");
        }
        return false;
      case BrokerClient::Outcome::kNoAnswer:
        if (firstTime) LogWarning("ports", place + " does not answer (" + why + ")");
        return false;
      case BrokerClient::Outcome::kOtherPorts:
        if (firstTime) {
          LogInfo("ports", "the port broker holds ports " + std::to_string(theirs.http) + " and " +
                               std::to_string(theirs.https) + ", not this agent's");
        }
        return false;
    }
    broker = std::move(client);
    LogInfo("ports", "port " + std::to_string(settings.httpPort) +
                         " is held by the port broker, which passes this user's connections on");
    if (settings.listenAddress != "127.0.0.1") {
      LogWarning("ports",
                 "pages of other machines cannot reach this agent: the port broker holds the "
                 "ports on the loopback addresses only, not on " +
                     settings.listenAddress + " (listen_address)");
    }
    Report();
    return true;
  }

  // The broker has gone (its service stopped or restarts): register again when it is back, and
  // after a while without it hold the ports or wait for them as with no broker.
  void LostBroker() {
    broker.reset();
    lostAt = std::chrono::steady_clock::now();
    LogInfo("ports", "the port broker has gone; registering again");
    Report();
    RegisterAgain();
  }

  void RegisterAgain() {
    takeover.expires_after(kBrokerRetry);
    takeover.async_wait([this](boost::system::error_code ec) {
      if (ec || closed) return;
      try {
        if (TryBroker(false)) return;
      } catch (const ListenerError& error) {
        // An agent of this session registered while this one was away: the broker may yet let
        // it go.
        refusals.Say(RefusalLog::kNobody, error.what());
      }
      if (std::chrono::steady_clock::now() - lostAt < kBrokerRestart) return RegisterAgain();
      LogInfo("ports", "the port broker has not come back; this agent does without it");
      try {
        HoldOrWait();
      } catch (const ListenerError& error) {
        refusals.Say(RefusalLog::kNobody,
                     std::string("the ports cannot be taken over: ") + error.what());
        TakeOverLater();
      }
    });
  }

  void HoldOrWait() {
    try {
      handover =
          std::make_unique<SessionHandover>(poll, settings.httpPort, settings.httpsPort, serve);
    } catch (const std::system_error& error) {
      // One agent on the ports then, as without sharing: a port in use is its failure.
      LogWarning("ports", "the ports cannot be shared with other users' agents: " +
                              std::string(error.what()));
      Add(OpenListeners(poll, settings.listenAddress, settings.httpPort), Port::kPlain);
      return Report();
    }
    if (Hold()) return;
    LogInfo("ports", "port " + std::to_string(settings.httpPort) +
                         " is held by another agent, which hands this user's connections over; "
                         "this agent takes the ports over when it ends");
    Report();
    TakeOverLater();
  }

  // Binds the ports (the HTTPS one once it is served); false when another agent holds one.
  bool Hold() {
    auto plain = OpenListenersUnlessTaken(poll, settings.listenAddress, settings.httpPort);
    if (!plain) return false;
    std::optional<std::vector<Acceptor>> secure;
    if (serveSecure) {
      secure = OpenListenersUnlessTaken(poll, settings.listenAddress, settings.httpsPort);
      if (!secure) return false;
    }
    LogInfo("ports", "holding port " + std::to_string(settings.httpPort) +
                         ": other users' connections are passed on to their agents");
    Add(std::move(*plain), Port::kPlain);
    if (secure) Add(std::move(*secure), Port::kSecure);
    Report();
    return true;
  }

  void TakeOverLater() {
    takeover.expires_after(kTakeoverInterval);
    takeover.async_wait([this](boost::system::error_code ec) {
      if (ec || closed) return;
      try {
        if (Hold()) return;
      } catch (const ListenerError& error) {
        // Another program took an address of a port meanwhile; the ports may still come free.
        refusals.Say(RefusalLog::kNobody,
                     std::string("the ports cannot be taken over: ") + error.what());
      }
      TakeOverLater();
    });
  }

  void Add(std::vector<Acceptor> acceptors, Port port) {
    Listener::AcceptOne accept;
    if (handover) {
      accept = [this, port](Acceptor& acceptor, Listener::Accepted done) {
        handover->AsyncAccept(acceptor, port, std::move(done));
      };
    }
    for (Acceptor& acceptor : acceptors) {
      listeners.push_back(std::make_unique<Listener>(std::move(acceptor), port, serve, accept));
    }
  }

  void ServeSecure() {
    serveSecure = true;
    // Not yet holding the ports: the HTTPS port is taken over with the plain one.
    if (broker || listeners.empty()) return;
    Add(OpenListeners(poll, settings.listenAddress, settings.httpsPort), Port::kSecure);
    Report();
  }

  // The addresses held, or none while another session's agent holds the ports (which session
  // it is, Windows does not tell).
  void Report() {
    if (settings.report == nullptr) return;
    if (broker) {
      PortsView view;
      view.holder = PortsView::Holder::kBroker;
      return settings.report->Set(std::move(view));
    }
    settings.report->Set(listeners.empty() ? PortsView{} : HeldPorts(listeners));
  }

  void Close() {
    closed = true;
    takeover.cancel();
    for (const auto& listener : listeners) listener->Close();
    if (handover) handover->Close();
    if (broker) broker->Close();
  }

  boost::asio::io_context& poll;
  SharingSettings settings;
  Serve serve;
  Timer takeover;
  std::unique_ptr<SessionHandover> handover;  // null: one agent on the ports
  std::unique_ptr<BrokerClient> broker;       // registered with the port broker
  std::chrono::steady_clock::time_point lostAt;
  std::vector<std::unique_ptr<Listener>> listeners;
  bool serveSecure = false;
  bool closed = false;
  RefusalLog refusals;

  // Well within the two seconds a user may wait for another agent to take over.
  static constexpr std::chrono::milliseconds kTakeoverInterval{400};
  // A broker that restarts is back within a second or two; its users wait this long for it
  // rather than take the ports it is about to open again.
  static constexpr std::chrono::milliseconds kBrokerRetry{100};
  static constexpr std::chrono::seconds kBrokerRestart{10};
};

bool PortSharing::Supported() {
  return true;
}

PortSharing::PortSharing(boost::asio::io_context& poll, const SharingSettings& settings,
                         Serve serve)
    : impl_(std::make_unique<Impl>(poll, settings, std::move(serve))) {
  impl_->Start();
}

PortSharing::~PortSharing() {
  impl_->Close();
}

void PortSharing::ServeSecure() {
  impl_->ServeSecure();
}

void PortSharing::Close() {
  impl_->Close();
}

}  // namespace dralmin
