#include "platform/PeerOwner.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>
#include <vector>

namespace dralmin {
namespace {

// The whole table of one family with owner process ids, grown until it fits (connections come
// and go between the calls). Every state: the peer may have closed its end already.
bool ReadTable(ULONG family, std::vector<char>& buffer) {
  for (int tries = 0; tries < 4; ++tries) {
    auto size = static_cast<DWORD>(buffer.size());
    const DWORD status =
        GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    if (status == NO_ERROR) return true;
    if (status != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(size + 4096);
  }
  return false;
}

// The ports of the table are in network order in the low 16 bits.
bool SamePort(DWORD tablePort, u_short port) {
  return static_cast<u_short>(tablePort & 0xffff) == port;
}

// An IPv6 socket's IPv4 connection (::ffff:a.b.c.d) is listed in the IPv4 table.
bool MappedV4(const in6_addr& address, in_addr& v4) {
  static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(address.s6_addr, kPrefix, sizeof kPrefix) != 0) return false;
  std::memcpy(&v4, address.s6_addr + 12, 4);
  return true;
}

}  // namespace

LocalUser CurrentLocalUser() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return session;
}

std::optional<LocalUser> SessionOfProcess(std::uint32_t process) {
  DWORD session = 0;
  if (!ProcessIdToSessionId(process, &session)) return std::nullopt;
  return session;
}

PeerOwners::PeerOwners() : table_(0) {}

PeerOwners::~PeerOwners() = default;

std::optional<std::uint32_t> PeerOwners::ProcessOfPeer(std::uintptr_t socket, std::string& why) {
  sockaddr_storage local{}, remote{};
  int localSize = sizeof local, remoteSize = sizeof remote;
  const auto s = static_cast<SOCKET>(socket);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
    why = "not a connected socket";
    return std::nullopt;
  }
  // The peer's row has the peer's address as its local one and ours as its remote one.
  in_addr hereV4{}, thereV4{};
  u_short herePort = 0, therePort = 0;
  if (local.ss_family == AF_INET && remote.ss_family == AF_INET) {
    const auto& here = reinterpret_cast<const sockaddr_in&>(local);
    const auto& there = reinterpret_cast<const sockaddr_in&>(remote);
    hereV4 = here.sin_addr;
    thereV4 = there.sin_addr;
    herePort = here.sin_port;
    therePort = there.sin_port;
  } else if (local.ss_family == AF_INET6 && remote.ss_family == AF_INET6) {
    const auto& here = reinterpret_cast<const sockaddr_in6&>(local);
    const auto& there = reinterpret_cast<const sockaddr_in6&>(remote);
    herePort = here.sin6_port;
    therePort = there.sin6_port;
    if (!MappedV4(here.sin6_addr, hereV4) || !MappedV4(there.sin6_addr, thereV4)) {
      std::vector<char> buffer(16 * 1024);
      if (!ReadTable(AF_INET6, buffer)) {
        why = "cannot read the TCP table";
        return std::nullopt;
      }
      const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
      for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
        if (row.dwState != MIB_TCP_STATE_LISTEN && SamePort(row.dwLocalPort, therePort) &&
            SamePort(row.dwRemotePort, herePort) &&
            std::memcmp(row.ucLocalAddr, &there.sin6_addr, 16) == 0 &&
            std::memcmp(row.ucRemoteAddr, &here.sin6_addr, 16) == 0) {
          return row.dwOwningPid;
        }
      }
      why = "no socket of this machine is its peer";
      return std::nullopt;
    }
  } else {
    why = "not a TCP connection";
    return std::nullopt;
  }
  std::vector<char> buffer(16 * 1024);
  if (!ReadTable(AF_INET, buffer)) {
    why = "cannot read the TCP table";
    return std::nullopt;
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    if (row.dwState != MIB_TCP_STATE_LISTEN && SamePort(row.dwLocalPort, therePort) &&
        SamePort(row.dwRemotePort, herePort) && row.dwLocalAddr == thereV4.s_addr &&
        row.dwRemoteAddr == hereV4.s_addr) {
      return row.dwOwningPid;
    }
  }
  why = "no socket of this machine is its peer";
  return std::nullopt;
}

std::optional<LocalUser> PeerOwners::OfPeer(std::uintptr_t socket, std::string& why) {
  const auto process = ProcessOfPeer(socket, why);
  if (!process) return std::nullopt;
  if (*process == 0) {
    why = "no process owns its peer";
    return std::nullopt;
  }
  const auto session = SessionOfProcess(*process);
  if (!session) why = "the session of process " + std::to_string(*process) + " is unknown";
  return session;
}

}  // namespace dralmin

namespace dralmin {

std::optional<PortHolder> PeerOwners::OfListener(const std::string& address, std::uint16_t port,
                                                 std::string& why) {
  in_addr v4{};
  in6_addr v6{};
  const bool isV4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
  if (!isV4 && inet_pton(AF_INET6, address.c_str(), &v6) != 1) {
    why = address + " is not an IP address";
    return std::nullopt;
  }
  std::vector<char> buffer(16 * 1024);
  if (!ReadTable(isV4 ? AF_INET : AF_INET6, buffer)) {
    why = "cannot read the TCP table";
    return std::nullopt;
  }
  const u_short wanted = htons(port);
  std::optional<DWORD> process;
  if (isV4) {
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries && !process; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (row.dwState == MIB_TCP_STATE_LISTEN && SamePort(row.dwLocalPort, wanted) &&
          (row.dwLocalAddr == v4.s_addr || row.dwLocalAddr == INADDR_ANY)) {
        process = row.dwOwningPid;
      }
    }
  } else {
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries && !process; ++i) {
      const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
      if (row.dwState == MIB_TCP_STATE_LISTEN && SamePort(row.dwLocalPort, wanted) &&
          (std::memcmp(row.ucLocalAddr, &v6, 16) == 0 ||
           std::memcmp(row.ucLocalAddr, &in6addr_any, 16) == 0)) {
        process = row.dwOwningPid;
      }
    }
  }
  if (!process) {
    why = "no program listens there";
    return std::nullopt;
  }
  PortHolder holder;
  holder.user = SessionOfProcess(*process).value_or(0);
  if (*process != 0) holder.process = *process;
  return holder;
}

std::string DescribePeer(std::uintptr_t handle) {
  const auto socket = static_cast<SOCKET>(handle);
  sockaddr_storage remote{};
  int size = sizeof remote;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &size) != 0) {
    return "a closed connection";
  }
  char host[INET6_ADDRSTRLEN] = {};
  char port[8] = {};
  if (getnameinfo(reinterpret_cast<sockaddr*>(&remote), size, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "an unknown peer";
  }
  return (remote.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" +
         port;
}

bool PeerIsLoopback(std::uintptr_t handle) {
  const auto socket = static_cast<SOCKET>(handle);
  sockaddr_storage remote{};
  int size = sizeof remote;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &size) != 0) return true;
  if (remote.ss_family == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in&>(remote).sin_addr.s_addr) >> 24) == 127;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(remote);
  if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
}

}  // namespace dralmin
