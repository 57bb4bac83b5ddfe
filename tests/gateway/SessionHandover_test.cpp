#include "gateway/SessionHandover_win.h"

#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

namespace dralmin {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// The web server of another agent, in a process of its own (SharingReceiver.cpp).
class Receiver {
 public:
  explicit Receiver(std::uint16_t port) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"dralmin-sharing-receiver.exe";
    std::wstring command = L"\"" + path + L"\" " + std::to_wstring(port);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_);
  }
  ~Receiver() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, 10000);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  bool Started() const { return started_; }
  DWORD Id() const { return process_.dwProcessId; }

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_{};
};

// A page's request, sent at once as a browser does; the reply's body, or "" when the connection
// was closed without one.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const DWORD timeout = 20000;
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    const std::string request =
        "GET /weight HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    sent_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            send(socket_, request.data(), static_cast<int>(request.size()), 0) ==
                static_cast<int>(request.size());
  }
  ~Client() { closesocket(socket_); }
  bool Sent() const { return sent_; }
  std::string Body() {
    std::string reply;
    char chunk[512];
    int size;
    while ((size = recv(socket_, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, size);
    const auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  bool sent_ = false;
};

struct Holder {
  Holder() : acceptor(io) {
    acceptor.open(asio::ip::tcp::v4());
    acceptor.set_option(ListenerPortUse(true));
    acceptor.bind({asio::ip::address_v4::loopback(), 0});
    acceptor.listen();
    port = acceptor.local_endpoint().port();
    // As the agent of a session that is not this one: under Wine every process is in one
    // session, so the peers of these connections are then another session's, with an agent
    // (the receiver's) or without one.
    handover.emplace(
        io, port, 0, [](Socket, SharedPort) {}, CurrentLocalUser() + 1000);
  }
  // Accepts and judges the client's connection; true when it is the holder's to serve.
  bool Judge() {
    bool finished = false, kept = false;
    handover->AsyncAccept(acceptor, SharedPort::kPlain,
                          [&](boost::system::error_code ec, std::optional<Socket> socket) {
                            EXPECT_FALSE(ec) << ec.message();
                            finished = true;
                            kept = socket.has_value();
                          });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!finished && std::chrono::steady_clock::now() < deadline) io.run_for(100ms);
    EXPECT_TRUE(finished);
    return kept;
  }
  asio::io_context io;
  Acceptor acceptor;
  std::uint16_t port = 0;
  std::optional<SessionHandover> handover;
};

// The connection itself goes to the other process, which answers it; a session without an
// agent gets its connection closed without an answer.
TEST(SessionHandoverTest, AnotherSessionsConnectionIsServedByItsAgentOrClosed) {
  Holder holder;
  {
    Client client(holder.port);
    ASSERT_TRUE(client.Sent());
    EXPECT_FALSE(holder.Judge());
    EXPECT_EQ(client.Body(), "");
  }
  Receiver receiver(holder.port);
  ASSERT_TRUE(receiver.Started());
  // The receiver waits for connections once it has started: until then they are closed.
  std::string body;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (body.empty() && std::chrono::steady_clock::now() < deadline) {
    Client client(holder.port);
    ASSERT_TRUE(client.Sent());
    EXPECT_FALSE(holder.Judge());
    body = client.Body();
    if (body.empty()) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(body, std::to_string(receiver.Id()));

  // The holder ends: the receiver takes the port over and answers directly.
  boost::system::error_code ignored;
  holder.acceptor.close(ignored);
  body.clear();
  const auto start = std::chrono::steady_clock::now();
  while (body.empty() && std::chrono::steady_clock::now() < start + 30s) {
    Client client(holder.port);
    body = client.Body();
    if (body.empty()) std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(body, std::to_string(receiver.Id()));
  std::cout << "taken over after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()
            << " ms\n";
}

}  // namespace
}  // namespace dralmin
