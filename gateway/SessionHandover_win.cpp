#include "gateway/SessionHandover_win.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <sddl.h>
#include <mswsock.h>
// clang-format on

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "platform/Log.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;

// One pipe name per session and plain port. Anyone may create a free name first, so the holder
// checks in which session the process serving it runs before passing anything on.
std::wstring WaitingPlace(LocalUser session, std::uint16_t httpPort) {
  return L"\\\\.\\pipe\\dralmin-tray-agent-" + std::to_wstring(session) + L"-" +
         std::to_wstring(httpPort);
}

// What a holder may do with another session's pipe: write the connection and ask who serves the
// pipe. Not FILE_APPEND_DATA, which on a pipe means creating instances of it, nor reading.
constexpr DWORD kHolderAccess = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// One handing over: which port the connection was accepted on, and the socket as duplicated for
// the receiving process.
struct Handover {
  char kind;
  WSAPROTOCOL_INFOW socket;
};
constexpr std::size_t kHandoverSize = 1 + sizeof(WSAPROTOCOL_INFOW);

// What a peer may hold of the waiting place: a handing over is written at once, so a pipe
// connection that sends nothing soon is closed, and only so many may wait at a time.
constexpr std::chrono::seconds kHandoverTimeout{2};
constexpr std::size_t kMaxPendingHandovers = 64;

std::string SystemMessage(DWORD code) {
  return std::system_category().message(static_cast<int>(code));
}

std::uint16_t LocalPort(SOCKET socket, int& family) {
  sockaddr_storage local{};
  int size = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  family = local.ss_family;
  if (family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
  if (family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port);
  return 0;
}

// Only this session's user may read (serve) the pipe; any signed-in user's agent may write to it.
struct PipeSecurity {
  PipeSecurity() {
    HANDLE token = nullptr;
    std::array<char, 256> user{};
    DWORD size = 0;
    LPWSTR sid = nullptr;
    const bool ok =
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                            &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid);
    const DWORD error = GetLastError();
    if (token) CloseHandle(token);
    if (!ok) throw std::system_error(static_cast<int>(error), std::system_category(), "user");
    const std::wstring sddl =
        L"D:P(A;;GA;;;" + std::wstring(sid) + L")(A;;" + std::to_wstring(kHolderAccess) + L";;;AU)";
    LocalFree(sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              "pipe security");
    }
    attributes.lpSecurityDescriptor = descriptor;
  }
  ~PipeSecurity() { LocalFree(descriptor); }
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace

struct SessionHandover::Impl {
  // One instance of the pipe: waiting for a holder, then reading its one message.
  struct Instance {
    explicit Instance(asio::io_context& io) : pipe(io), timer(io.get_executor()) {}
    asio::windows::stream_handle pipe;
    Timer timer;
    std::array<char, kHandoverSize> message{};
  };

  Impl(asio::io_context& context, std::uint16_t port, std::uint16_t securePort, Serve s,
       LocalUser user)
      : io(context),
        httpPort(port),
        httpsPort(securePort),
        serve(std::move(s)),
        self(user),
        name(WaitingPlace(self, port)) {}

  // Keeps one instance of the pipe waiting for a holder, as long as fewer than the bound are
  // busy. The first one claims the name: a name someone else holds fails the agent's sharing.
  void Wait(bool first) {
    if (closed || waiting || pending.size() >= kMaxPendingHandovers) return;
    const HANDLE handle = CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 0, 4096, 0, &security.attributes);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (first) {
        throw std::system_error(static_cast<int>(error), std::system_category(),
                                "cannot open " + Narrow(name));
      }
      LogWarning("gateway", "cannot wait for connections handed over: " + SystemMessage(error));
      return;
    }
    auto entry = std::make_shared<Instance>(io);
    boost::system::error_code ec;
    entry->pipe.assign(handle, ec);
    if (ec) {
      CloseHandle(handle);
      if (first) throw std::system_error(ec, "cannot wait on " + Narrow(name));
      return;
    }
    waiting = true;
    pending.insert(entry);
    asio::windows::overlapped_ptr connected(
        io, [this, entry](boost::system::error_code error, std::size_t) {
          waiting = false;
          if (closed) return;
          if (error) {
            Drop(entry);
          } else {
            Read(entry);
          }
          Wait(false);
        });
    if (ConnectNamedPipe(entry->pipe.native_handle(), connected.get())) {
      connected.complete(boost::system::error_code(), 0);
    } else if (const DWORD error = GetLastError(); error == ERROR_PIPE_CONNECTED) {
      connected.complete(boost::system::error_code(), 0);
    } else if (error == ERROR_IO_PENDING) {
      connected.release();
    } else {
      connected.complete(
          boost::system::error_code(static_cast<int>(error), asio::error::get_system_category()),
          0);
    }
  }

  void Read(const std::shared_ptr<Instance>& entry) {
    entry->timer.expires_after(kHandoverTimeout);
    entry->timer.async_wait([entry](boost::system::error_code timerError) {
      boost::system::error_code ignored;
      if (!timerError) entry->pipe.close(ignored);
    });
    asio::async_read(entry->pipe, asio::buffer(entry->message),
                     [this, entry](boost::system::error_code ec, std::size_t size) {
                       if (closed) return;
                       if (!ec && size == kHandoverSize) Receive(entry->message);
                       Drop(entry);
                       Wait(false);
                     });
  }

  void Drop(const std::shared_ptr<Instance>& entry) {
    entry->timer.cancel();
    boost::system::error_code ignored;
    entry->pipe.close(ignored);
    pending.erase(entry);
  }

  void Receive(const std::array<char, kHandoverSize>& message) {
    Handover handover{};
    std::memcpy(&handover.kind, message.data(), 1);
    std::memcpy(&handover.socket, message.data() + 1, sizeof handover.socket);
    const WSAPROTOCOL_INFOW& info = handover.socket;
    if ((handover.kind != static_cast<char>(Port::kPlain) &&
         handover.kind != static_cast<char>(Port::kSecure)) ||
        (info.iAddressFamily != AF_INET && info.iAddressFamily != AF_INET6) ||
        info.iSocketType != SOCK_STREAM || info.iProtocol != IPPROTO_TCP) {
      LogWarning("gateway", "a connection handed over was dropped: it is not a TCP connection");
      return;
    }
    const SOCKET socket = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO,
                                     const_cast<WSAPROTOCOL_INFOW*>(&info), 0, WSA_FLAG_OVERLAPPED);
    if (socket == INVALID_SOCKET) {
      LogWarning("gateway", "a connection handed over was dropped: cannot take it: " +
                                SystemMessage(static_cast<DWORD>(WSAGetLastError())));
      return;
    }
    Accept(socket, static_cast<Port>(handover.kind));
  }

  // A handed connection is served only when it was accepted on these ports and its other end
  // belongs to this agent's session: whoever handed it over is not trusted with that.
  void Accept(SOCKET socket, Port port) {
    int family = 0;
    if (LocalPort(socket, family) != (port == Port::kPlain ? httpPort : httpsPort)) {
      LogWarning("gateway", "a connection from " + DescribePeer(socket) +
                                " handed over was dropped: it was not accepted on the port");
      closesocket(socket);
      return;
    }
    std::string why;
    const auto owner = owners.OfPeer(static_cast<std::uintptr_t>(socket), why);
    if (owner != self) {
      LogWarning("gateway", "a connection from " + DescribePeer(socket) +
                                " handed over was dropped: " +
                                (owner ? "it belongs to session " + std::to_string(*owner) : why));
      closesocket(socket);
      return;
    }
    std::optional<Socket> served = Adopt(socket, family);
    if (served) serve(std::move(*served), port);
  }

  // Gives a socket to this process's I/O; closes it when that fails.
  std::optional<Socket> Adopt(SOCKET socket, int family) {
    Socket adopted(io.get_executor());
    boost::system::error_code ec;
    adopted.assign(family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), socket, ec);
    if (ec) {
      LogWarning("gateway", "a connection from " + DescribePeer(socket) +
                                " was closed: cannot serve it: " + ec.message());
      closesocket(socket);
      return std::nullopt;
    }
    return adopted;
  }

  // Opens the waiting place of `session`; nullptr with `why` when there is none to trust.
  HANDLE Reach(LocalUser session, ULONG& server, std::string& why) {
    const std::wstring place = WaitingPlace(session, httpPort);
    // Identification only: whoever serves the pipe may not act as this agent's user.
    HANDLE pipe = CreateFileW(place.c_str(), kHolderAccess, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      why = error == ERROR_FILE_NOT_FOUND
                ? "session " + std::to_string(session) + " has no agent running"
                : "the agent of session " + std::to_string(session) +
                      " does not take connections: " + SystemMessage(error);
      return nullptr;
    }
    server = 0;
    const auto serverSession =
        GetNamedPipeServerProcessId(pipe, &server) ? SessionOfProcess(server) : std::nullopt;
    if (serverSession != session) {
      why = "the waiting place of session " + std::to_string(session) + " is held by process " +
            std::to_string(server) + " of another session";
      CloseHandle(pipe);
      return nullptr;
    }
    return pipe;
  }

  // True when `socket` is this agent's to serve; otherwise it has been passed on or closed.
  bool KeepOrPass(SOCKET socket, Port port) {
    std::string why;
    const auto process = owners.ProcessOfPeer(static_cast<std::uintptr_t>(socket), why);
    if (!process) {
      if (!PeerIsLoopback(socket)) return true;  // another machine's
    } else if (*process == 0) {
      // No process holds the peer's end any more, so nobody reads what this agent answers.
      // (Under Wine, also a peer that is not a Windows program.)
      return true;
    } else if (const auto session = SessionOfProcess(*process); !session) {
      why = "the session of process " + std::to_string(*process) + " is unknown";
    } else if (*session == self) {
      return true;
    } else if (Pass(socket, port, *session, why)) {
      closesocket(socket);  // the receiver holds its own handle now
      return false;
    }
    LogWarning("gateway", "connection from " + DescribePeer(socket) + " closed: " + why);
    closesocket(socket);
    return false;
  }

  bool Pass(SOCKET socket, Port port, LocalUser session, std::string& why) {
    ULONG server = 0;
    const HANDLE pipe = Reach(session, server, why);
    if (!pipe) return false;
    Handover handover{};
    handover.kind = static_cast<char>(port);
    bool sent = false;
    if (WSADuplicateSocketW(socket, server, &handover.socket) != 0) {
      why = "cannot hand it over: " + SystemMessage(static_cast<DWORD>(WSAGetLastError()));
    } else {
      std::array<char, kHandoverSize> message{};
      message[0] = handover.kind;
      std::memcpy(message.data() + 1, &handover.socket, sizeof handover.socket);
      DWORD written = 0;
      sent =
          WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
          written == message.size();
      if (!sent) why = "cannot hand it over: " + SystemMessage(GetLastError());
    }
    CloseHandle(pipe);
    return sent;
  }

  // AcceptEx of its own: asio's accept would tie the new socket to this process's completion
  // port, and a socket so tied cannot be served by another process.
  struct Accepting {
    SOCKET socket = INVALID_SOCKET;
    std::array<char, 2 * (sizeof(sockaddr_storage) + 16)> addresses{};
  };

  void AsyncAccept(Acceptor& acceptor, Port port, Accepted done) {
    const int family = acceptor.local_endpoint().protocol().family();
    auto accepting = std::make_shared<Accepting>();
    accepting->socket = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (accepting->socket == INVALID_SOCKET) {
      const int code = WSAGetLastError();
      return asio::post(io, [done, code] {
        done(boost::system::error_code(code, asio::error::get_system_category()), std::nullopt);
      });
    }
    asio::windows::overlapped_ptr accepted(io, [this, &acceptor, port, family, accepting,
                                                done = std::move(done)](
                                                   boost::system::error_code error, std::size_t) {
      const SOCKET socket = std::exchange(accepting->socket, INVALID_SOCKET);
      if (!acceptor.is_open()) error = asio::error::operation_aborted;
      if (!error) {
        const SOCKET listener = acceptor.native_handle();
        if (setsockopt(socket, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                       reinterpret_cast<const char*>(&listener), sizeof listener) != 0) {
          error = boost::system::error_code(WSAGetLastError(), asio::error::get_system_category());
        }
      }
      if (error) {
        closesocket(socket);
        // A peer that left before it was accepted is no failure of the listener.
        if (error.value() == ERROR_NETNAME_DELETED || error.value() == WSAECONNRESET) {
          return done({}, std::nullopt);
        }
        return done(error, std::nullopt);
      }
      if (!KeepOrPass(socket, port)) return done({}, std::nullopt);
      done({}, Adopt(socket, family));
    });
    DWORD received = 0;
    constexpr auto kAddressSize = static_cast<DWORD>(sizeof(sockaddr_storage) + 16);
    if (AcceptEx(acceptor.native_handle(), accepting->socket, accepting->addresses.data(), 0,
                 kAddressSize, kAddressSize, &received, accepted.get())) {
      accepted.complete(boost::system::error_code(), 0);
    } else if (const int code = WSAGetLastError(); code == ERROR_IO_PENDING) {
      accepted.release();
    } else {
      accepted.complete(boost::system::error_code(code, asio::error::get_system_category()), 0);
    }
  }

  void Close() {
    closed = true;
    for (const auto& entry : pending) {
      boost::system::error_code ignored;
      entry->pipe.close(ignored);
      entry->timer.cancel();
    }
    pending.clear();
  }

  asio::io_context& io;
  std::uint16_t httpPort;
  std::uint16_t httpsPort;
  Serve serve;
  LocalUser self;
  std::wstring name;
  PipeSecurity security;
  PeerOwners owners;
  std::unordered_set<std::shared_ptr<Instance>> pending;
  bool waiting = false;
  bool closed = false;
};

SessionHandover::SessionHandover(asio::io_context& io, std::uint16_t httpPort,
                                 std::uint16_t httpsPort, Serve serve)
    : SessionHandover(io, httpPort, httpsPort, std::move(serve), CurrentLocalUser()) {}

SessionHandover::SessionHandover(asio::io_context& io, std::uint16_t httpPort,
                                 std::uint16_t httpsPort, Serve serve, LocalUser self)
    : impl_(std::make_unique<Impl>(io, httpPort, httpsPort, std::move(serve), self)) {
  impl_->Wait(true);
}

SessionHandover::~SessionHandover() = default;

void SessionHandover::AsyncAccept(Acceptor& acceptor, Port port, Accepted done) {
  impl_->AsyncAccept(acceptor, port, std::move(done));
}

void SessionHandover::Close() {
  impl_->Close();
}

}  // namespace dralmin
