#include "broker/BrokerPipe_win.h"

#include <sddl.h>

#include <array>
#include <system_error>

#include "platform/WideText.h"

namespace dralmin {
namespace {

// Connect, read and write, its attributes and access list; not FILE_APPEND_DATA, which on a pipe
// is the right to create an instance.
constexpr DWORD kClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_EA | FILE_WRITE_EA |
                                FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL |
                                SYNCHRONIZE;

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  std::string narrow = Narrow(text);
  LocalFree(text);
  return narrow;
}

// The user SID of a token, as text; empty when it cannot be read.
std::string TokenUserText(HANDLE token) {
  std::array<char, 256> user{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
    return {};
  }
  return SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

std::string OwnUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::string user = TokenUserText(token);
  CloseHandle(token);
  return user;
}

// The process of the running broker service, or 0.
DWORD ServiceProcess() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  DWORD process = 0;
  if (SC_HANDLE service = OpenServiceW(manager, kBrokerServiceName, SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &size) &&
        status.dwCurrentState == SERVICE_RUNNING) {
      process = status.dwProcessId;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return process;
}

}  // namespace

BrokerPipeSecurity::BrokerPipeSecurity() {
  const std::string own = OwnUser();
  if (own.empty()) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "user");
  }
  const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + Widen(own) + L")(A;;" +
                            std::to_wstring(kClientAccess) + L";;;AU)";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor_, nullptr)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "pipe security");
  }
  attributes_.lpSecurityDescriptor = descriptor_;
}

BrokerPipeSecurity::~BrokerPipeSecurity() {
  LocalFree(descriptor_);
}

std::optional<PipeClient> ClientOfPipe(HANDLE pipe, std::string& why) {
  PipeClient client;
  ULONG process = 0;
  if (!GetNamedPipeClientProcessId(pipe, &process)) {
    why = "the system does not name its process: " + SystemErrorText(GetLastError());
    return std::nullopt;
  }
  client.process = process;
  const auto session = SessionOfProcess(process);
  if (!session) {
    why = "the session of process " + std::to_string(process) + " is unknown";
    return std::nullopt;
  }
  client.session = *session;
  // The user, for the log: the client's token, which it shows once it has written (an agent lets
  // itself be identified, never impersonated).
  if (ImpersonateNamedPipeClient(pipe)) {
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      client.user = TokenUserText(token);
      CloseHandle(token);
    }
    RevertToSelf();
  }
  return client;
}

bool ServedByBroker(HANDLE pipe, std::string& why) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server)) {
    why = "the system does not name the process serving it: " + SystemErrorText(GetLastError());
    return false;
  }
  if (server != 0 && server == ServiceProcess()) return true;
  std::string user;
  if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server)) {
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
      user = TokenUserText(token);
      CloseHandle(token);
    }
    CloseHandle(process);
  }
  if (user == "S-1-5-18" || user == "S-1-5-19") return true;
  why = "process " + std::to_string(server) + (user.empty() ? "" : " (user " + user + ")") +
        " serves it, which is not the service " + Narrow(kBrokerServiceName);
  return false;
}

}  // namespace dralmin
