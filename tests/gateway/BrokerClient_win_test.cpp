#include "gateway/BrokerClient_win.h"

#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <string>
#include <thread>

#include "broker/BrokerPipe_win.h"
#include "broker/PortBroker.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string TestPipe(const char* what) {
  return R"(\\.\pipe\dralmin-broker-client-test-)" + std::string(what) + "-" +
         std::to_string(GetCurrentProcessId());
}

// A pipe of the broker's protocol that is not the service's (here, this process's own) is not
// registered with: anyone may make a pipe under a free name.
TEST(BrokerClientTest, APipeNotServedByTheServiceIsNotRegisteredWith) {
  asio::io_context brokerIo(1);
  PortBroker broker(brokerIo, {8081, 8433});
  const std::string name = TestPipe("squatted");
  std::string why;
  ASSERT_TRUE(broker.ListenAt(name, why)) << why;
  auto work = asio::make_work_guard(brokerIo);
  std::thread thread([&] { brokerIo.run(); });

  asio::io_context poll(1);
  BrokerClient client(
      poll, name, {8081, 8433}, [](Socket, SharedPort) {}, [] {});
  rendezvous::Ports theirs;
  EXPECT_EQ(client.Register(why, theirs), BrokerClient::Outcome::kNotTrusted);
  EXPECT_NE(why.find("not the service dralmin-port-broker"), std::string::npos) << why;
  EXPECT_TRUE(broker.Registered().empty());

  asio::post(brokerIo, [&] {
    broker.Close();
    brokerIo.stop();
  });
  thread.join();
}

// The broker program as the service dralmin-port-broker (as the installer makes it), in this
// test's Wine prefix; removed again at the end.
class BrokerService {
 public:
  BrokerService(std::uint16_t httpPort, std::uint16_t httpsPort, const std::string& pipe)
      : ports_{httpPort, httpsPort} {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return;
    Remove();  // one a failed run left
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    path = path.substr(0, path.find_last_of(L'\\') + 1) + L"dralmin-port-broker.exe";
    const std::wstring command = L"\"" + path + L"\" --http-port " + std::to_wstring(httpPort) +
                                 L" --https-port " + std::to_wstring(httpsPort) + L" --pipe " +
                                 std::wstring(pipe.begin(), pipe.end());
    service_ = CreateServiceW(manager_, kBrokerServiceName, L"Dralmin port broker (test)",
                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    if (service_ == nullptr || !StartServiceW(service_, 0, nullptr)) return;
    running_ = WaitFor(SERVICE_RUNNING);
  }
  ~BrokerService() {
    if (service_ != nullptr) {
      Stop();
      DeleteService(service_);
      CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) CloseServiceHandle(manager_);
  }
  bool Running() const { return running_; }
  rendezvous::Ports Ports() const { return ports_; }
  bool Stop() {
    SERVICE_STATUS status{};
    ControlService(service_, SERVICE_CONTROL_STOP, &status);
    return WaitFor(SERVICE_STOPPED);
  }

 private:
  bool WaitFor(DWORD state) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service_, &status) && status.dwCurrentState != state) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return status.dwCurrentState == state;
  }
  void Remove() {
    if (SC_HANDLE old = OpenServiceW(manager_, kBrokerServiceName, SERVICE_ALL_ACCESS)) {
      SERVICE_STATUS status{};
      ControlService(old, SERVICE_CONTROL_STOP, &status);
      DeleteService(old);
      CloseServiceHandle(old);
    }
  }
  rendezvous::Ports ports_;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  bool running_ = false;
};

std::uint16_t FreePort() {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(s);
  return ntohs(address.sin_port);
}

// A page's request, sent at once; the reply, or "" when the connection was closed without one.
std::string Ask(std::uint16_t port) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const DWORD timeout = 10000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  std::string reply;
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(s, request.data(), static_cast<int>(request.size()), 0) ==
          static_cast<int>(request.size())) {
    char chunk[256];
    int got;
    while ((got = recv(s, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, got);
  }
  closesocket(s);
  return reply;
}

// The service takes the registration (it learns the session from the system), hands over this
// session's connection, duplicated for this process, and the agent hears when it stops.
TEST(BrokerClientTest, TheServiceHandsThisSessionsConnectionsToItsRegisteredAgent) {
  const std::uint16_t port = FreePort(), securePort = FreePort();
  const std::string name = TestPipe("service");
  BrokerService service(port, securePort, name);
  ASSERT_TRUE(service.Running());

  asio::io_context poll(1);
  bool lost = false;
  SharedPort servedOn = SharedPort::kSecure;
  BrokerClient client(
      poll, name, {port, securePort},
      [&](Socket socket, SharedPort on) {
        servedOn = on;
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        boost::system::error_code ec;
        asio::write(socket, asio::buffer(reply), ec);
      },
      [&] { lost = true; });
  std::string why;
  rendezvous::Ports theirs;
  // The service's pipe may take a moment to appear after it says it runs.
  BrokerClient::Outcome outcome = BrokerClient::Outcome::kNoBroker;
  for (int i = 0; i < 50 && outcome == BrokerClient::Outcome::kNoBroker; ++i) {
    outcome = client.Register(why, theirs);
    if (outcome == BrokerClient::Outcome::kNoBroker) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(outcome, BrokerClient::Outcome::kRegistered) << why;

  std::thread polling([&] {
    auto work = asio::make_work_guard(poll);
    poll.run();
  });
  // Under Wine the system's TCP table names a socket's process only once it has sent on it: a
  // connection the broker looked up before that is closed, and the next one is tried.
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (reply.empty() && std::chrono::steady_clock::now() < deadline) reply = Ask(port);
  EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_EQ(servedOn, SharedPort::kPlain);

  EXPECT_TRUE(service.Stop());
  const auto stopped = std::chrono::steady_clock::now() + 10s;
  while (!lost && std::chrono::steady_clock::now() < stopped) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(lost);
  poll.stop();
  polling.join();
}

// One agent a session: a second is refused while the first is there, and takes its place once it
// has gone.
TEST(BrokerClientTest, ASecondAgentOfTheSessionIsRegisteredOnlyOnceTheFirstHasGone) {
  const std::string name = TestPipe("second");
  BrokerService service(FreePort(), FreePort(), name);
  ASSERT_TRUE(service.Running());
  const rendezvous::Ports ports = service.Ports();
  asio::io_context poll(1);
  const auto agent = [&] {
    return std::make_unique<BrokerClient>(
        poll, name, ports, [](Socket, SharedPort) {}, [] {});
  };
  std::string why;
  rendezvous::Ports theirs;
  auto first = agent();
  BrokerClient::Outcome outcome = BrokerClient::Outcome::kNoBroker;
  for (int i = 0; i < 50 && outcome == BrokerClient::Outcome::kNoBroker; ++i) {
    outcome = first->Register(why, theirs);
    if (outcome == BrokerClient::Outcome::kNoBroker) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(outcome, BrokerClient::Outcome::kRegistered) << why;
  EXPECT_EQ(agent()->Register(why, theirs), BrokerClient::Outcome::kAlreadyThere);
  first.reset();
  EXPECT_EQ(agent()->Register(why, theirs), BrokerClient::Outcome::kRegistered) << why;
}

}  // namespace
}  // namespace dralmin
