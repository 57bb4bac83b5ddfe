#pragma once

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdint>
#include <optional>
#include <string>

#include "platform/PeerOwner.h"

namespace dralmin {

// The Windows port broker's rendezvous: a named pipe of the service, which every signed-in user's
// agent may connect to and nobody but the service may serve.

// The name the service is installed under.
inline constexpr const wchar_t* kBrokerServiceName = L"dralmin-port-broker";

// One handing over on the pipe: the tag of the port that accepted the connection, then the
// connection as duplicated for the agent's process.
inline constexpr std::size_t kPipeHandoverSize = 1 + sizeof(WSAPROTOCOL_INFOW);

// The access list of the broker's pipe: the system and the service's own account may do anything;
// signed-in users may connect, read and write, but not make instances of the pipe (which would
// let them answer other users' agents).
class BrokerPipeSecurity {
 public:
  BrokerPipeSecurity();  // std::system_error when the system cannot make it
  ~BrokerPipeSecurity();
  BrokerPipeSecurity(const BrokerPipeSecurity&) = delete;
  BrokerPipeSecurity& operator=(const BrokerPipeSecurity&) = delete;
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Who is at the other end of a connected instance of the broker's pipe, as the system recorded
// it: the process and its logon session, and the user (a SID) when the client lets itself be
// identified after it has sent something.
struct PipeClient {
  std::uint32_t process = 0;
  LocalUser session = 0;
  std::string user;
};
std::optional<PipeClient> ClientOfPipe(HANDLE pipe, std::string& why);

// Whether the process serving `pipe` (an agent's end of the broker's pipe) is the port broker:
// the running service's process, as the service manager names it, or a process of the system's
// own accounts (LocalSystem, LocalService). Anyone may create a pipe under a free name; only
// these cannot be a user's. False with `why` otherwise.
bool ServedByBroker(HANDLE pipe, std::string& why);

}  // namespace dralmin
