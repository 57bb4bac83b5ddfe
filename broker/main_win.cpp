// The port broker on Windows: holds the agents' ports for every logon session of a shared
// machine and passes each connection to the agent of the session at its other end. Runs as a
// service (as LocalService); with --foreground, in its console. It reads no byte of any
// connection and knows no device.

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <shlobj.h>
#include <boost/asio.hpp>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "broker/BrokerOptions.h"
#include "broker/BrokerPipe_win.h"
#include "broker/PortBroker.h"
#include "platform/Log.h"
#include "platform/WideText.h"

namespace {

using namespace dralmin;

// A listening socket on `address` and `port`, kept to itself (no other program may bind it
// beside), or INVALID_SOCKET with `error`.
SOCKET OpenListener(const std::string& address, std::uint16_t port, int& error) {
  sockaddr_storage storage{};
  int size = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    size = sizeof v4;
  } else {
    inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    size = sizeof v6;
  }
  const SOCKET socket = WSASocketW(storage.ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    error = WSAGetLastError();
    return socket;
  }
  const BOOL on = TRUE;
  if (setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0 ||
      bind(socket, reinterpret_cast<sockaddr*>(&storage), size) != 0 ||
      listen(socket, SOMAXCONN) != 0) {
    error = WSAGetLastError();
    closesocket(socket);
    return INVALID_SOCKET;
  }
  return socket;
}

// Opens the ports and the rendezvous; false, with a line saying why, when one cannot be.
bool Open(PortBroker& broker, const BrokerOptions& options) {
  for (const std::string address : {"127.0.0.1", "::1"}) {
    for (const auto& [port, kind] : {std::pair{options.ports.http, SharedPort::kPlain},
                                     std::pair{options.ports.https, SharedPort::kSecure}}) {
      int error = 0;
      const SOCKET socket = OpenListener(address, port, error);
      if (socket != INVALID_SOCKET) {
        broker.AddListener(socket, kind);
        continue;
      }
      // A machine without IPv6: nobody can take ::1 either.
      if (address == "::1" && (error == WSAEAFNOSUPPORT || error == WSAEADDRNOTAVAIL)) continue;
      LogError("ports", "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                            SystemErrorText(static_cast<unsigned long>(error)));
      return false;
    }
  }
  std::string why;
  if (!broker.ListenAt(options.rendezvous, why)) {
    LogError("ports", "cannot open the rendezvous " + options.rendezvous + ": " + why);
    return false;
  }
  return true;
}

// Runs the broker until `stop` is posted to; `running` is told once the ports are held. The exit
// status.
int Run(boost::asio::io_context& io, const BrokerOptions& options, void (*running)()) {
  PortBroker broker(io, options.ports);
  if (!Open(broker, options)) return 1;
  LogInfo("ports", "holding ports " + std::to_string(options.ports.http) + " and " +
                       std::to_string(options.ports.https) + " for every session's agent");
  running();
  auto work = boost::asio::make_work_guard(io);
  io.run();
  broker.Close();
  return 0;
}

// The service's state, as the service manager's callbacks reach it.
BrokerOptions serviceOptions;
boost::asio::io_context* serviceIo = nullptr;
SERVICE_STATUS_HANDLE serviceStatus = nullptr;

void Tell(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
  SetServiceStatus(serviceStatus, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Tell(SERVICE_STOP_PENDING);
    boost::asio::post(*serviceIo, [] { serviceIo->stop(); });
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The service has no console: its lines go to its own application data, as the agent's do.
void LogToFile() {
  PWSTR folder = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &folder) != S_OK) return;
  std::wstring path = std::wstring(folder) + L"\\Dralmin";
  CoTaskMemFree(folder);
  CreateDirectoryW(path.c_str(), nullptr);
  path += L"\\logs";
  CreateDirectoryW(path.c_str(), nullptr);
  SetLogFile(Narrow(path + L"\\broker.log"), 2 * 1024 * 1024);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  serviceStatus = RegisterServiceCtrlHandlerExW(kBrokerServiceName, Control, nullptr);
  if (serviceStatus == nullptr) return;
  Tell(SERVICE_START_PENDING);
  LogToFile();
  boost::asio::io_context io(1);
  serviceIo = &io;
  const int status = Run(io, serviceOptions, [] { Tell(SERVICE_RUNNING); });
  Tell(SERVICE_STOPPED, static_cast<DWORD>(status));
}

// The installed service is restarted when it ends without being stopped: 1 s, then 5 s, then
// every minute, counted afresh after a day without failures. The exit status.
int SetRestartOnFailure() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager ? OpenServiceW(manager, kBrokerServiceName, SERVICE_CHANGE_CONFIG | SERVICE_START)
              : nullptr;
  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;
  failure.cActions = static_cast<DWORD>(std::size(actions));
  failure.lpsaActions = actions;
  const bool set = service != nullptr &&
                   ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  const DWORD error = GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  if (!set) {
    std::cerr << "dralmin-port-broker: cannot set the service's recovery: "
              << SystemErrorText(error) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  BrokerOptions options;
  if (const int status = ParseBrokerOptions(args, options, std::cout, std::cerr); status >= 0) {
    return status;
  }
  if (options.restartOnFailure) return SetRestartOnFailure();
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  if (options.foreground) {
    boost::asio::io_context io(1);
    boost::asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](boost::system::error_code, int) { io.stop(); });
    return Run(io, options, [] {});
  }
  serviceOptions = options;
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kBrokerServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    const DWORD error = GetLastError();
    std::cerr << "dralmin-port-broker: not started as a service (" << SystemErrorText(error)
              << "); --foreground runs it here\n";
    return 1;
  }
  return 0;
}
