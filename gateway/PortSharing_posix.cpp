#include "gateway/PortSharing.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "broker/Listening.h"
#include "broker/PortBroker.h"
#include "broker/RefusalLog.h"
#include "gateway/GatewayServer.h"
#include "gateway/Listeners.h"
#include "platform/Log.h"
#include "platform/SocketPassing.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Local = asio::local::stream_protocol;
using LocalSocket = asio::basic_stream_socket<Local, Executor>;

// How long a holder that has just taken the ports, or a broker that is restarting, may take
// before it answers at its rendezvous.
constexpr std::chrono::seconds kRendezvousGrace{2};
constexpr std::chrono::milliseconds kRetry{100};
// How long the users of a broker that has gone wait for it to come back before they hold the
// ports themselves; the system restarts it well within this.
constexpr std::chrono::seconds kBrokerRestart{10};

std::string Describe(const Socket& socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return "a closed connection";
  return remote.address().to_string() + ":" + std::to_string(remote.port());
}

// The hello and its answer, on a fresh connection to a rendezvous; nothing when whoever is there
// does not answer as a holder within the grace.
std::optional<rendezvous::Answered> Greet(int fd, rendezvous::Ports ports) {
  const std::string hello = rendezvous::Hello(ports);
  if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
    return std::nullopt;
  }
  char answer[rendezvous::kAnswerSize];
  std::size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRendezvousGrace;
  while (got < sizeof answer) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd wait{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    const ssize_t size = recv(fd, answer + got, sizeof answer - got, MSG_DONTWAIT);
    if (size <= 0 && !(size < 0 && (errno == EAGAIN || errno == EINTR))) return std::nullopt;
    if (size > 0) got += static_cast<std::size_t>(size);
  }
  return rendezvous::ReadAnswer({answer, sizeof answer});
}

// Only a system component may make a place under a folder that no other user can write: the
// broker's rendezvous counts when its folder and the socket belong to the broker's user (or
// root) and nobody else may write there.
bool IsSystemPlace(const std::string& path, std::uint32_t broker, std::string& why) {
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  struct stat dir {
  }, place{};
  if (lstat(folder.empty() ? "." : folder.c_str(), &dir) != 0 || lstat(path.c_str(), &place) != 0) {
    why = std::string(std::strerror(errno));
    return false;
  }
  const auto ownedRight = [broker](uid_t owner) { return owner == 0 || owner == broker; };
  if (!S_ISDIR(dir.st_mode) || !ownedRight(dir.st_uid) || (dir.st_mode & 022) != 0 ||
      !ownedRight(place.st_uid)) {
    why = "its folder " + folder + " may be written by users other than the broker's";
    return false;
  }
  return true;
}

}  // namespace

struct PortSharing::Impl {
  enum class Mode { kNone, kHolding, kBroker, kAgent };

  Impl(asio::io_context& io, const SharingSettings& s, Serve serveFn)
      : poll(io),
        settings(s),
        ports{s.httpPort, s.httpsPort},
        serve(std::move(serveFn)),
        self(CurrentLocalUser()),
        registration(io),
        retry(io) {}

  // At start: the broker, else the ports, else the agent that holds them, else the failure.
  void Start() {
    if (TryBroker(/*patient=*/true)) return;
    if (Hold()) return;
    const auto deadline = std::chrono::steady_clock::now() + kRendezvousGrace;
    std::string why;
    while (!TryHolder(why)) {
      // The holder may have just ended (take over), or just started (not answering yet).
      if (Hold()) return;
      if (std::chrono::steady_clock::now() >= deadline) {
        throw ListenerError(settings.listenAddress, settings.httpPort, why);
      }
      std::this_thread::sleep_for(kRetry);
    }
  }

  // Registers with the port broker when there is one; `patient` waits a little for one that is
  // restarting.
  bool TryBroker(bool patient) {
    const std::string& path = settings.brokerSocket;
    struct stat place {};
    if (path.empty() || lstat(path.c_str(), &place) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + kRendezvousGrace;
    int error = 0;
    int fd;
    while ((fd = ConnectLocal(path, error)) < 0) {
      if (!patient || std::chrono::steady_clock::now() >= deadline) {
        if (patient) {
          LogWarning("ports", "the port broker at " + path + " does not answer (" +
                                  std::strerror(error) + "); this agent holds the ports itself");
        }
        return false;
      }
      std::this_thread::sleep_for(kRetry);
    }
    const auto peer = PeerOfLocalSocket(fd);
    std::string why;
    if (!peer || !IsSystemPlace(path, peer->user, why)) {
      LogWarning("ports", "the port broker at " + path + " is not trusted: " + why);
      close(fd);
      return false;
    }
    if (!Register(fd, Mode::kBroker, "the port broker")) return false;
    if (settings.listenAddress != "127.0.0.1") {
      LogWarning("ports",
                 "pages of other machines cannot reach this agent: the port broker "
                 "holds the ports on the loopback addresses only, not on " +
                     settings.listenAddress +
                     " (listen_address); an empty port_broker "
                     "setting, with the broker stopped, opens them to the network");
    }
    return true;
  }

  // Registers with the agent that holds the ports; false with `why` when whoever holds them does
  // not answer as an agent.
  bool TryHolder(std::string& why) {
    std::string lookup;
    const auto holder = owners.OfListener(settings.listenAddress, settings.httpPort, lookup);
    why = "Address already in use" + (holder ? ", " + DescribeHolder(*holder) : std::string()) +
          ", which does not answer as an agent";
    if (!holder) return false;
    int error = 0;
    const int fd = ConnectLocal(rendezvous::AgentRendezvous(settings.httpPort), error);
    if (fd < 0) return false;
    const auto peer = PeerOfLocalSocket(fd);
    // Anyone may bind the name; only the user who listens on the port is its agent.
    if (!peer || peer->user != holder->user) {
      close(fd);
      return false;
    }
    holderUser = holder->user;
    return Register(fd, Mode::kAgent, "the agent of user " + std::to_string(holder->user));
  }

  bool Register(int fd, Mode as, const std::string& whom) {
    const auto answer = Greet(fd, ports);
    if (!answer || answer->answer != rendezvous::Answer::kRegistered) {
      if (answer && answer->answer == rendezvous::Answer::kOtherPorts && as == Mode::kBroker) {
        LogInfo("ports", "the port broker holds ports " + std::to_string(answer->ports.http) +
                             " and " + std::to_string(answer->ports.https) +
                             ", not this agent's; this agent holds its ports itself");
      } else if (answer && answer->answer == rendezvous::Answer::kAlreadyRegistered) {
        close(fd);
        throw ListenerError(settings.listenAddress, settings.httpPort,
                            "another agent of this user is registered with " + whom);
      }
      close(fd);
      return false;
    }
    boost::system::error_code ec;
    registration.assign(Local(), fd, ec);
    mode = as;
    LogInfo("ports", "port " + std::to_string(settings.httpPort) + " is held by " + whom +
                         ", which passes this user's connections on");
    Report();
    WaitForConnections();
    return true;
  }

  void WaitForConnections() {
    registration.async_wait(LocalSocket::wait_read, [this](boost::system::error_code ec) {
      if (closed || ec == asio::error::operation_aborted) return;
      PassedConnection passed;
      for (;;) {
        const ReceiveResult result = ReceiveConnection(registration.native_handle(), passed);
        if (result == ReceiveResult::kNothing) return WaitForConnections();
        if (result == ReceiveResult::kEnded) return Lost();
        if (result == ReceiveResult::kReceived)
          Take(passed.connection, static_cast<Port>(passed.tag));
      }
    });
  }

  // A connection handed over. From another user's agent it is served only when it is a TCP
  // connection accepted on these ports whose other end belongs to this user: whoever handed it
  // over is not trusted with that. The broker is a system component, and has checked.
  void Take(int fd, Port port) {
    if (port != Port::kPlain && port != Port::kSecure) {
      close(fd);
      return;
    }
    int domain = 0;
    socklen_t size = sizeof domain;
    getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size);
    Socket socket(poll.get_executor());
    boost::system::error_code ec;
    socket.assign(domain == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
      close(fd);
      return;
    }
    if (mode == Mode::kAgent && !Trusted(socket, port)) {
      socket.close(ec);
      return;
    }
    serve(std::move(socket), port);
  }

  bool Trusted(Socket& socket, Port port) {
    boost::system::error_code ec;
    const auto local = socket.local_endpoint(ec);
    // A user's own end of a connection to the ports would have the holder as its peer, and pass
    // the owner check below.
    if (ec || local.port() != (port == Port::kPlain ? settings.httpPort : settings.httpsPort)) {
      refusals.Say(holderUser,
                   "a connection handed over was dropped: it was not accepted on "
                   "the port");
      return false;
    }
    std::string why;
    const auto owner = owners.OfPeer(static_cast<std::uintptr_t>(socket.native_handle()), why);
    if (owner != self) {
      refusals.Say(holderUser, "a connection from " + Describe(socket) +
                                   " handed over was dropped: " +
                                   (owner ? "it belongs to user " + std::to_string(*owner) : why));
      return false;
    }
    return true;
  }

  // The holder has gone: register again with the broker (its restart), or take the ports over,
  // or register with whoever took them.
  void Lost() {
    boost::system::error_code ec;
    registration.close(ec);
    const Mode was = mode;
    mode = Mode::kNone;
    lostAt = std::chrono::steady_clock::now();
    Report();
    LogInfo("ports", was == Mode::kBroker ? "the port broker has gone; registering again"
                                          : "the agent holding the ports has gone");
    Reconnect(was);
  }

  void Reconnect(Mode was) {
    if (closed) return;
    std::string why;
    struct stat place {};
    const bool brokerThere = !settings.brokerSocket.empty() &&
                             lstat(settings.brokerSocket.c_str(), &place) == 0 &&
                             std::chrono::steady_clock::now() - lostAt < kBrokerRestart;
    // A broker that restarts comes back to the same place: its users wait for it, rather than
    // take the ports it is about to open again.
    try {
      if (TryBroker(false) || (was == Mode::kBroker && brokerThere) || Hold() || TryHolder(why)) {
        if (mode != Mode::kNone) return;
      }
    } catch (const ListenerError& error) {
      // Another program took an address of the port meanwhile; the ports may still come free.
      refusals.Say(RefusalLog::kNobody,
                   std::string("the ports cannot be taken over: ") + error.what());
    }
    retry.expires_after(kRetry);
    retry.async_wait([this, was](boost::system::error_code ec) {
      if (!ec) Reconnect(was);
    });
  }

  // The listeners of `port` on its addresses, as descriptors for the broker's thread. False when
  // the port is taken on the listen address (another agent holds it); ListenerError when one
  // cannot be opened for another reason.
  bool OpenListeners(std::uint16_t port, std::vector<int>& fds, std::vector<std::string>& held) {
    auto acceptors = OpenListenersUnlessTaken(poll, settings.listenAddress, port);
    if (!acceptors) return false;
    Take(std::move(*acceptors), fds, held);
    return true;
  }

  static void Take(std::vector<Acceptor> acceptors, std::vector<int>& fds,
                   std::vector<std::string>& held) {
    for (Acceptor& acceptor : acceptors) {
      held.push_back(HeldAt(acceptor));
      fds.push_back(acceptor.release());
    }
  }

  bool Hold() {
    std::vector<int> plainFds, secureFds;
    std::vector<std::string> plainHeld, secureHeld;
    if (!OpenListeners(settings.httpPort, plainFds, plainHeld)) return false;
    if (secure && !OpenListeners(settings.httpsPort, secureFds, secureHeld)) {
      for (const int fd : plainFds) close(fd);
      return false;
    }
    broker = std::make_unique<PortBroker>(brokerIo, ports);
    broker->ServeHere(self, [this](int fd, Port port) { Post(fd, port); });
    // A connection from another machine has no owner here: the holder serves it, as it would
    // with nobody else on the ports.
    broker->ServeRemote([this](int fd, Port port) { Post(fd, port); });
    broker->OnRegistrations([report = settings.report](const auto& registrations) {
      if (report == nullptr) return;
      std::vector<PortsView::Registration> view;
      for (const auto& r : registrations) view.push_back({r.user, r.process});
      report->SetRegistered(std::move(view));
    });
    for (const int fd : plainFds) broker->AddListener(fd, Port::kPlain);
    for (const int fd : secureFds) broker->AddListener(fd, Port::kSecure);
    OpenRendezvous();
    plainHeldAt = std::move(plainHeld);
    secureHeldAt = std::move(secureHeld);
    mode = Mode::kHolding;
    brokerThread = std::thread([this] {
      auto work = asio::make_work_guard(brokerIo);
      brokerIo.run();
    });
    LogInfo("ports", "holding port " + std::to_string(settings.httpPort) +
                         ": other users' connections are passed on to their agents");
    Report();
    return true;
  }

  void OpenRendezvous() {
    int error = 0;
    const std::string name = rendezvous::AgentRendezvous(settings.httpPort);
    const int fd = OpenLocalListener(name, error);
    if (fd >= 0) return broker->SetRendezvous(fd);
    std::string squatter = std::strerror(error);
    if (const int other = ConnectLocal(name, error); other >= 0) {
      if (const auto peer = PeerOfLocalSocket(other)) {
        squatter = "taken by user " + std::to_string(peer->user) + " (process " +
                   std::to_string(peer->process) + ")";
      }
      close(other);
    }
    LogWarning("ports", "other users' agents cannot register with this one: its rendezvous is " +
                            squatter + "; a port broker would serve them");
  }

  // From the broker's thread: the connection is served on the poll thread. Connections waiting
  // for that thread count as open: without it the broker's thread, which accepts as fast as
  // connections come, could use up the descriptors while the poll thread serves a request.
  void Post(int fd, Port port) {
    const std::size_t open = settings.connectionsOpen ? settings.connectionsOpen->load() : 0;
    if (settings.mostConnections != 0 && open + posted.load() >= settings.mostConnections) {
      close(fd);
      return;
    }
    ++posted;
    asio::post(poll, [this, fd, port] {
      --posted;
      if (closed) {
        close(fd);
        return;
      }
      Take(fd, port);
    });
  }

  void ServeSecure() {
    secure = true;
    if (mode != Mode::kHolding) return;
    std::vector<int> fds;
    std::vector<std::string> held;
    Take(dralmin::OpenListeners(poll, settings.listenAddress, settings.httpsPort), fds, held);
    secureHeldAt = held;
    asio::post(brokerIo, [this, fds] {
      for (const int fd : fds) broker->AddListener(fd, Port::kSecure);
    });
    Report();
  }

  void StopHolding() {
    if (!broker) return;
    brokerIo.stop();
    if (brokerThread.joinable()) brokerThread.join();
    // Its thread has ended: what it held is let go of here.
    broker.reset();
  }

  void Report() {
    if (settings.report == nullptr) return;
    PortsView view;
    switch (mode) {
      case Mode::kHolding:
        view.holder = PortsView::Holder::kThisAgent;
        view.plain = plainHeldAt;
        view.secure = secureHeldAt;
        break;
      case Mode::kBroker:
        view.holder = PortsView::Holder::kBroker;
        break;
      case Mode::kAgent:
        view.holder = PortsView::Holder::kOtherAgent;
        view.holderUser = holderUser;
        break;
      case Mode::kNone:
        break;
    }
    settings.report->Set(std::move(view));
  }

  void Close() {
    closed = true;
    boost::system::error_code ec;
    registration.close(ec);
    retry.cancel();
    StopHolding();
  }

  asio::io_context& poll;
  SharingSettings settings;
  rendezvous::Ports ports;
  Serve serve;
  LocalUser self;
  LocalSocket registration;
  Timer retry;
  Mode mode = Mode::kNone;
  LocalUser holderUser = 0;
  std::chrono::steady_clock::time_point lostAt;
  bool secure = false;
  bool closed = false;
  std::atomic<std::size_t> posted{0};  // passed to the poll thread, not taken up yet
  PeerOwners owners;
  RefusalLog refusals;
  std::vector<std::string> plainHeldAt, secureHeldAt;
  // Holding the ports: their accepting and handing over run on a thread of their own, which no
  // request of this agent's holds up.
  asio::io_context brokerIo{1};
  std::unique_ptr<PortBroker> broker;
  std::thread brokerThread;
};

bool PortSharing::Supported() {
  return true;
}

PortSharing::PortSharing(asio::io_context& poll, const SharingSettings& settings, Serve serve)
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
