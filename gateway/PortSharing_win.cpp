#include "gateway/PortSharing.h"

#include <string>
#include <system_error>
#include <utility>

#include "broker/RefusalLog.h"
#include "gateway/GatewayServer.h"
#include "gateway/Listeners.h"
#include "gateway/SessionHandover_win.h"
#include "platform/Log.h"

namespace dralmin {

// Windows has no port broker: the first session's agent holds the ports itself and passes other
// sessions' connections to their agents through SessionHandover; the others wait for theirs and
// take the ports over when it ends.
struct PortSharing::Impl {
  Impl(boost::asio::io_context& io, const SharingSettings& s, Serve serveFn)
      : poll(io), settings(s), serve(std::move(serveFn)), takeover(io) {}

  void Start() {
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
    if (listeners.empty()) return;
    Add(OpenListeners(poll, settings.listenAddress, settings.httpsPort), Port::kSecure);
    Report();
  }

  // The addresses held, or none while another session's agent holds the ports (which session
  // it is, Windows does not tell).
  void Report() {
    if (settings.report != nullptr) {
      settings.report->Set(listeners.empty() ? PortsView{} : HeldPorts(listeners));
    }
  }

  void Close() {
    closed = true;
    takeover.cancel();
    for (const auto& listener : listeners) listener->Close();
    if (handover) handover->Close();
  }

  boost::asio::io_context& poll;
  SharingSettings settings;
  Serve serve;
  Timer takeover;
  std::unique_ptr<SessionHandover> handover;  // null: one agent on the ports
  std::vector<std::unique_ptr<Listener>> listeners;
  bool serveSecure = false;
  bool closed = false;
  RefusalLog refusals;

  // Well within the two seconds a user may wait for another agent to take over.
  static constexpr std::chrono::milliseconds kTakeoverInterval{400};
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
