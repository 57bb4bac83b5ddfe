#include "broker/PortBroker.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mswsock.h>
// clang-format on

#include <array>
#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "broker/BrokerPipe_win.h"
#include "broker/RefusalLog.h"
#include "platform/Log.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Executor = asio::io_context::executor_type;
using Acceptor = asio::basic_socket_acceptor<tcp, Executor>;
using Pipe = asio::windows::basic_stream_handle<Executor>;
using Timer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                         asio::wait_traits<std::chrono::steady_clock>, Executor>;

// A registration is one short message sent at once after connecting: what one session may hold
// of the rendezvous before saying it is bounded in time (and in number, by Registrations).
constexpr std::chrono::seconds kHelloTimeout{2};
// Out of sockets: the connection waits in the backlog, and accepting again at once would fail
// at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Handings over written to an agent and not yet taken by it: an agent that does not read gets
// its connections closed rather than have the broker hold them.
constexpr std::size_t kUnreadPerAgent = 64;

std::string SessionName(LocalUser session) {
  return "session " + std::to_string(session);
}

std::string SystemMessage(DWORD code) {
  return SystemErrorText(code);
}

}  // namespace

struct PortBroker::Impl {
  struct Listener {
    Listener(asio::io_context& io, SharedPort p) : acceptor(io), port(p), retry(io) {}
    Acceptor acceptor;
    SharedPort port;
    Timer retry;
    int family = AF_INET;
  };
  // AcceptEx of its own: asio's accept would tie the new socket to this process's completion
  // port, and a socket so tied cannot be served by another process.
  struct Accepting {
    SOCKET socket = INVALID_SOCKET;
    std::array<char, 2 * (sizeof(sockaddr_storage) + 16)> addresses{};
  };
  struct Agent {
    explicit Agent(asio::io_context& io) : pipe(io) {}
    Pipe pipe;
    LocalUser user = 0;  // the session
    std::uint32_t process = 0;
    std::string sid;
    std::size_t unread = 0;
    char byte = 0;
  };
  struct Pending {
    explicit Pending(asio::io_context& io) : pipe(io), timer(io) {}
    Pipe pipe;
    Timer timer;
    LocalUser session = 0;
    bool begun = false;
    std::array<char, rendezvous::kHelloSize> hello{};
  };

  Impl(asio::io_context& context, rendezvous::Ports p) : io(context), ports(p) {}

  void Accept(Listener& listener) {
    auto accepting = std::make_shared<Accepting>();
    accepting->socket = WSASocketW(listener.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (accepting->socket == INVALID_SOCKET) return RetryAccept(listener);
    asio::windows::overlapped_ptr accepted(
        io, [this, &listener, accepting](boost::system::error_code error, std::size_t) {
          const SOCKET socket = std::exchange(accepting->socket, INVALID_SOCKET);
          if (closed || !listener.acceptor.is_open()) {
            closesocket(socket);
            return;
          }
          if (!error) {
            const SOCKET server = listener.acceptor.native_handle();
            if (setsockopt(socket, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                           reinterpret_cast<const char*>(&server), sizeof server) != 0) {
              error = {WSAGetLastError(), asio::error::get_system_category()};
            }
          }
          if (error) {
            closesocket(socket);
            // A peer that left before it was accepted is no failure of the listener.
            if (error.value() == ERROR_NETNAME_DELETED || error.value() == WSAECONNRESET) {
              return Accept(listener);
            }
            return RetryAccept(listener);
          }
          Route(socket, listener.port);
          Accept(listener);
        });
    DWORD received = 0;
    constexpr auto kAddressSize = static_cast<DWORD>(sizeof(sockaddr_storage) + 16);
    if (AcceptEx(listener.acceptor.native_handle(), accepting->socket, accepting->addresses.data(),
                 0, kAddressSize, kAddressSize, &received, accepted.get())) {
      accepted.complete({}, 0);
    } else if (const int code = WSAGetLastError(); code == ERROR_IO_PENDING) {
      accepted.release();
    } else {
      accepted.complete({code, asio::error::get_system_category()}, 0);
    }
  }

  void RetryAccept(Listener& listener) {
    listener.retry.expires_after(kAcceptRetry);
    listener.retry.async_wait([this, &listener](boost::system::error_code timer) {
      if (!timer && !closed) Accept(listener);
    });
  }

  void Refuse(SOCKET socket, std::uint64_t who, const std::string& why) {
    refusals.Say(who, "connection from " + DescribePeer(socket) + " closed: " + why);
    closesocket(socket);
  }

  // Before a byte of it is read: the connection goes to the agent of the session whose process
  // owns its other end, or is closed.
  void Route(SOCKET socket, SharedPort port) {
    std::string why;
    const auto process = owners.ProcessOfPeer(static_cast<std::uintptr_t>(socket), why);
    if (!process) {
      if (remoteServe && !PeerIsLoopback(socket)) return remoteServe(socket, port);
      return Refuse(socket, RefusalLog::kNobody, why);
    }
    // Closed at once, or left in time-wait: nobody is left to read an answer.
    if (*process == 0) return Refuse(socket, RefusalLog::kNobody, "no process owns its peer");
    const auto session = SessionOfProcess(*process);
    if (!session) {
      return Refuse(socket, RefusalLog::kNobody,
                    "the session of process " + std::to_string(*process) + " is unknown");
    }
    if (hereServe && *session == hereUser) return hereServe(socket, port);
    const std::shared_ptr<Agent> agent = registrations.Of(*session);
    if (!agent) return Refuse(socket, *session, SessionName(*session) + " has no agent running");
    if (agent->unread >= kUnreadPerAgent) {
      return Refuse(socket, *session,
                    "the agent of " + SessionName(*session) + " does not take its connections");
    }
    auto message = std::make_shared<std::array<char, kPipeHandoverSize>>();
    WSAPROTOCOL_INFOW info{};
    if (WSADuplicateSocketW(socket, agent->process, &info) != 0) {
      return Refuse(socket, *session,
                    "cannot hand it to the agent of " + SessionName(*session) + ": " +
                        SystemMessage(static_cast<DWORD>(WSAGetLastError())));
    }
    (*message)[0] = static_cast<char>(port);
    std::memcpy(message->data() + 1, &info, sizeof info);
    ++agent->unread;
    asio::async_write(agent->pipe, asio::buffer(*message),
                      [this, agent, message](boost::system::error_code ec, std::size_t) {
                        --agent->unread;
                        if (ec && !closed) Drop(agent, "cannot be reached");
                      });
    // The agent's process has its own handle to the connection now; this one only goes.
    closesocket(socket);
  }

  // Keeps one instance of the pipe waiting for an agent. The first one claims the name.
  bool Wait(bool first, std::string& why) {
    if (closed || waiting) return true;
    const HANDLE handle = CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 64 * 1024, 4096, 0, security.Attributes());
    if (handle == INVALID_HANDLE_VALUE) {
      why = SystemMessage(GetLastError());
      if (!first) {
        // Out of resources: the next agent's connection tries again.
        rendezvousRetry.expires_after(kAcceptRetry);
        rendezvousRetry.async_wait([this](boost::system::error_code timer) {
          std::string ignored;
          if (!timer && !closed) Wait(false, ignored);
        });
      }
      return false;
    }
    auto entry = std::make_shared<Pending>(io);
    boost::system::error_code ec;
    entry->pipe.assign(handle, ec);
    if (ec) {
      CloseHandle(handle);
      why = ec.message();
      return false;
    }
    waiting = true;
    pending.insert(entry);
    asio::windows::overlapped_ptr connected(
        io, [this, entry](boost::system::error_code error, std::size_t) {
          waiting = false;
          if (closed) return;
          if (error) {
            Finish(entry);
          } else {
            Greet(entry);
          }
          std::string ignored;
          Wait(false, ignored);
        });
    if (ConnectNamedPipe(entry->pipe.native_handle(), connected.get())) {
      connected.complete({}, 0);
    } else if (const DWORD error = GetLastError(); error == ERROR_PIPE_CONNECTED) {
      connected.complete({}, 0);
    } else if (error == ERROR_IO_PENDING) {
      connected.release();
    } else {
      connected.complete({static_cast<int>(error), asio::error::get_system_category()}, 0);
    }
    return true;
  }

  void Greet(const std::shared_ptr<Pending>& entry) {
    ULONG process = 0;
    const auto session = GetNamedPipeClientProcessId(entry->pipe.native_handle(), &process)
                             ? SessionOfProcess(process)
                             : std::nullopt;
    if (!session) return Finish(entry);
    entry->session = *session;
    if (!registrations.Begin(*session)) {
      refusals.Say(*session, "a registration of " + SessionName(*session) + " (process " +
                                 std::to_string(process) +
                                 ") was refused: too many of its registrations are unfinished");
      return Finish(entry);
    }
    entry->begun = true;
    entry->timer.expires_after(kHelloTimeout);
    entry->timer.async_wait([entry](boost::system::error_code timer) {
      boost::system::error_code ignored;
      if (!timer) entry->pipe.close(ignored);
    });
    asio::async_read(entry->pipe, asio::buffer(entry->hello),
                     [this, entry](boost::system::error_code error, std::size_t) {
                       if (closed) return;
                       if (!error) {
                         Register(entry);
                       } else {
                         Finish(entry);
                       }
                     });
  }

  void Finish(const std::shared_ptr<Pending>& entry) {
    entry->timer.cancel();
    boost::system::error_code ignored;
    if (entry->pipe.is_open()) entry->pipe.close(ignored);
    pending.erase(entry);
    if (entry->begun) registrations.End(entry->session);
    entry->begun = false;
  }

  // Nine bytes on a fresh pipe always fit its buffer: the write completes at once. Its event's
  // low bit keeps the completion from the io_context's port, which knows nothing of it.
  void Answer(Pipe& pipe, rendezvous::Answer answer) {
    const std::string bytes = rendezvous::AnswerBytes(answer, ports);
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(event) | 1);
    DWORD written = 0;
    if (!WriteFile(pipe.native_handle(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      GetOverlappedResult(pipe.native_handle(), &overlapped, &written, TRUE);
    }
    CloseHandle(event);
  }

  void Register(const std::shared_ptr<Pending>& entry) {
    std::string why;
    const auto client = ClientOfPipe(entry->pipe.native_handle(), why);
    const std::string who =
        client ? SessionName(client->session) + " (process " + std::to_string(client->process) +
                     (client->user.empty() ? "" : ", user " + client->user) + ")"
               : SessionName(entry->session);
    // The session the registration began under is the one it counts for, even if its process
    // has gone since.
    if (!client || client->session != entry->session) {
      refusals.Say(entry->session, "a registration of " + who + " was refused: " +
                                       (client ? "its process changed session" : why));
      return Finish(entry);
    }
    const std::shared_ptr<Agent> before = registrations.Of(client->session);
    switch (JudgeHello({entry->hello.data(), entry->hello.size()}, ports,
                       before && StillThere(*before))) {
      case HelloVerdict::kNotAnAgent:
        refusals.Say(client->session,
                     "a registration of " + who + " was refused: it is not an agent's");
        return Finish(entry);
      case HelloVerdict::kOtherPorts:
        Answer(entry->pipe, rendezvous::Answer::kOtherPorts);
        return Finish(entry);
      case HelloVerdict::kTaken:
        refusals.Say(client->session, "a second agent of " + who + " was refused: process " +
                                          std::to_string(before->process) + " is registered");
        Answer(entry->pipe, rendezvous::Answer::kAlreadyRegistered);
        return Finish(entry);
      case HelloVerdict::kRegister:
        break;
    }
    if (before) Drop(before, "has ended");
    auto agent = std::make_shared<Agent>(io);
    agent->pipe = std::move(entry->pipe);
    agent->user = client->session;
    agent->process = client->process;
    agent->sid = client->user;
    Finish(entry);
    Answer(agent->pipe, rendezvous::Answer::kRegistered);
    registrations.Add(agent);
    LogInfo("ports", "the agent of " + who + " is registered");
    UpdateView();
    Watch(agent);
  }

  // An agent sends nothing after its hello: its end is readable only when it has gone.
  static bool StillThere(Agent& agent) {
    DWORD available = 0;
    return PeekNamedPipe(agent.pipe.native_handle(), nullptr, 0, nullptr, &available, nullptr) &&
           available == 0;
  }

  void Watch(const std::shared_ptr<Agent>& agent) {
    asio::async_read(agent->pipe, asio::buffer(&agent->byte, 1),
                     [this, agent](boost::system::error_code ec, std::size_t) {
                       if (closed || ec == asio::error::operation_aborted) return;
                       Drop(agent, ec ? "has ended" : "broke the protocol");
                     });
  }

  void Drop(const std::shared_ptr<Agent>& agent, const std::string& why) {
    if (!registrations.Remove(agent)) return;
    boost::system::error_code ec;
    agent->pipe.close(ec);
    LogInfo("ports", "the agent of " + SessionName(agent->user) + " (process " +
                         std::to_string(agent->process) + ") " + why);
    UpdateView();
  }

  void UpdateView() {
    std::vector<Registration> now = registrations.View();
    if (told) told(now);
    std::lock_guard lock(viewMutex);
    view = std::move(now);
  }

  void Close() {
    closed = true;
    boost::system::error_code ec;
    for (auto& listener : listeners) {
      listener->acceptor.close(ec);
      listener->retry.cancel();
    }
    rendezvousRetry.cancel();
    for (const auto& entry : pending) {
      entry->pipe.close(ec);
      entry->timer.cancel();
    }
    pending.clear();
    registrations.EndAll();
    for (const auto& agent : registrations.TakeAll()) agent->pipe.close(ec);
    UpdateView();
  }

  asio::io_context& io;
  rendezvous::Ports ports;
  PeerOwners owners;
  RefusalLog refusals;
  std::vector<std::unique_ptr<Listener>> listeners;
  std::wstring name;
  BrokerPipeSecurity security;
  Timer rendezvousRetry{io};
  bool waiting = false;
  Registrations<Agent> registrations;
  std::unordered_set<std::shared_ptr<Pending>> pending;
  LocalUser hereUser = 0;
  Serve hereServe;
  Serve remoteServe;
  bool closed = false;
  std::function<void(const std::vector<Registration>&)> told;
  mutable std::mutex viewMutex;
  std::vector<Registration> view;
};

PortBroker::PortBroker(asio::io_context& io, rendezvous::Ports ports)
    : impl_(std::make_unique<Impl>(io, ports)) {}

PortBroker::~PortBroker() {
  if (!impl_->closed) impl_->Close();
}

void PortBroker::ServeHere(LocalUser user, Serve serve) {
  impl_->hereUser = user;
  impl_->hereServe = std::move(serve);
}

void PortBroker::ServeRemote(Serve serve) {
  impl_->remoteServe = std::move(serve);
}

void PortBroker::AddListener(BrokerSocket listener, SharedPort port) {
  auto entry = std::make_unique<Impl::Listener>(impl_->io, port);
  const auto socket = static_cast<SOCKET>(listener);
  sockaddr_storage address{};
  int size = sizeof address;
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size);
  entry->family = address.ss_family;
  boost::system::error_code ec;
  entry->acceptor.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), socket, ec);
  if (ec) {
    LogError("ports", "a listening socket cannot be used: " + ec.message());
    closesocket(socket);
    return;
  }
  impl_->listeners.push_back(std::move(entry));
  impl_->Accept(*impl_->listeners.back());
}

bool PortBroker::ListenAt(const std::string& name, std::string& why) {
  impl_->name = Widen(name);
  return impl_->Wait(true, why);
}

void PortBroker::Close() {
  impl_->Close();
}

void PortBroker::OnRegistrations(std::function<void(const std::vector<Registration>&)> told) {
  impl_->told = std::move(told);
}

std::vector<PortBroker::Registration> PortBroker::Registered() const {
  std::lock_guard lock(impl_->viewMutex);
  return impl_->view;
}

}  // namespace dralmin
