#include "gateway/BrokerClient_win.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <array>
#include <cstring>

#include "broker/BrokerPipe_win.h"
#include "platform/Log.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using Pipe = asio::windows::basic_stream_handle<Executor>;

// How long the broker may take to answer a registration.
constexpr DWORD kAnswerWaitMs = 2000;

// Transfers `size` bytes on `pipe` (opened for overlapped I/O, not yet tied to a completion
// port), waiting at most until `deadline`; false when they did not all go.
bool Transfer(HANDLE pipe, bool write, char* data, DWORD size, ULONGLONG deadline) {
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  DWORD done = 0;
  bool ok = true;
  while (ok && done < size) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ResetEvent(event);
    DWORD moved = 0;
    BOOL finished = write ? WriteFile(pipe, data + done, size - done, &moved, &overlapped)
                          : ReadFile(pipe, data + done, size - done, &moved, &overlapped);
    if (!finished && GetLastError() == ERROR_IO_PENDING) {
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      if (WaitForSingleObject(event, left) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
        ok = false;
        break;
      }
      finished = GetOverlappedResult(pipe, &overlapped, &moved, FALSE);
    }
    ok = finished && moved > 0;
    done += moved;
  }
  CloseHandle(event);
  return ok && done == size;
}

}  // namespace

struct BrokerClient::Impl : std::enable_shared_from_this<BrokerClient::Impl> {
  Impl(asio::io_context& io, std::string name, rendezvous::Ports p, Serve s,
       std::function<void()> l)
      : poll(io),
        pipeName(std::move(name)),
        ports(p),
        serve(std::move(s)),
        lost(std::move(l)),
        pipe(io) {}

  Outcome Register(std::string& why, rendezvous::Ports& brokerPorts) {
    const std::wstring name = Widen(pipeName);
    // Identification only: the broker may learn who this agent is, never act as its user.
    constexpr DWORD kFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, kFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
        WaitNamedPipeW(name.c_str(), kAnswerWaitMs)) {
      handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           kFlags, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      why = SystemErrorText(error);
      return error == ERROR_FILE_NOT_FOUND ? Outcome::kNoBroker : Outcome::kNoAnswer;
    }
    if (!ServedByBroker(handle, why)) {
      CloseHandle(handle);
      return Outcome::kNotTrusted;
    }
    std::string hello = rendezvous::Hello(ports);
    std::array<char, rendezvous::kAnswerSize> answer{};
    const ULONGLONG deadline = GetTickCount64() + kAnswerWaitMs;
    if (!Transfer(handle, true, hello.data(), static_cast<DWORD>(hello.size()), deadline) ||
        !Transfer(handle, false, answer.data(), static_cast<DWORD>(answer.size()), deadline)) {
      CloseHandle(handle);
      why = "it does not answer as the port broker";
      return Outcome::kNoAnswer;
    }
    const auto answered = rendezvous::ReadAnswer({answer.data(), answer.size()});
    if (!answered || answered->answer != rendezvous::Answer::kRegistered) {
      CloseHandle(handle);
      if (!answered) {
        why = "it does not answer as the port broker";
        return Outcome::kNoAnswer;
      }
      brokerPorts = answered->ports;
      return answered->answer == rendezvous::Answer::kOtherPorts ? Outcome::kOtherPorts
                                                                 : Outcome::kAlreadyThere;
    }
    boost::system::error_code ec;
    pipe.assign(handle, ec);
    if (ec) {
      CloseHandle(handle);
      why = ec.message();
      return Outcome::kNoAnswer;
    }
    Read();
    return Outcome::kRegistered;
  }

  void Read() {
    asio::async_read(pipe, asio::buffer(message),
                     [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                       if (self->closed) return;
                       if (ec) {
                         boost::system::error_code ignored;
                         self->pipe.close(ignored);
                         if (self->lost) self->lost();
                         return;
                       }
                       self->Take();
                       self->Read();
                     });
  }

  void Take() {
    const char kind = message[0];
    WSAPROTOCOL_INFOW info{};
    std::memcpy(&info, message.data() + 1, sizeof info);
    if ((kind != static_cast<char>(SharedPort::kPlain) &&
         kind != static_cast<char>(SharedPort::kSecure)) ||
        (info.iAddressFamily != AF_INET && info.iAddressFamily != AF_INET6) ||
        info.iSocketType != SOCK_STREAM || info.iProtocol != IPPROTO_TCP) {
      LogWarning("gateway", "a connection handed over was dropped: it is not a TCP connection");
      return;
    }
    const SOCKET socket = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO,
                                     &info, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
      LogWarning("gateway", "a connection handed over was dropped: cannot take it: " +
                                SystemErrorText(static_cast<DWORD>(WSAGetLastError())));
      return;
    }
    Socket served(poll.get_executor());
    boost::system::error_code ec;
    served.assign(info.iAddressFamily == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(),
                  socket, ec);
    if (ec) {
      LogWarning("gateway",
                 "a connection handed over was closed: cannot serve it: " + ec.message());
      closesocket(socket);
      return;
    }
    serve(std::move(served), static_cast<SharedPort>(kind));
  }

  void Close() {
    closed = true;
    boost::system::error_code ignored;
    pipe.close(ignored);
  }

  asio::io_context& poll;
  std::string pipeName;
  rendezvous::Ports ports;
  Serve serve;
  std::function<void()> lost;
  Pipe pipe;
  std::array<char, kPipeHandoverSize> message{};
  bool closed = false;
};

BrokerClient::BrokerClient(asio::io_context& poll, std::string pipe, rendezvous::Ports ports,
                           Serve serve, std::function<void()> lost)
    : impl_(std::make_shared<Impl>(poll, std::move(pipe), ports, std::move(serve),
                                   std::move(lost))) {}

BrokerClient::~BrokerClient() {
  impl_->Close();
}

BrokerClient::Outcome BrokerClient::Register(std::string& why, rendezvous::Ports& brokerPorts) {
  return impl_->Register(why, brokerPorts);
}

void BrokerClient::Close() {
  impl_->Close();
}

}  // namespace dralmin
