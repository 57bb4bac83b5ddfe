#include "platform/PeerOwner.h"

#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

namespace dralmin {
namespace {

// One call of GetExtendedTcpTable with owner process ids, grown until the table fits.
template <typename Table>
bool ReadTable(ULONG family, std::vector<char>& buffer) {
  DWORD size = static_cast<DWORD>(buffer.size());
  for (int tries = 0; tries < 4; ++tries) {
    const DWORD status = GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                             TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (status == NO_ERROR) return true;
    if (status != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(size + 16 * sizeof(typename Table::value_type));
    size = static_cast<DWORD>(buffer.size());
  }
  return false;
}

struct V4 {
  using value_type = MIB_TCPROW_OWNER_PID;
};
struct V6 {
  using value_type = MIB_TCP6ROW_OWNER_PID;
};

}  // namespace

LocalUser CurrentLocalUser() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return session;
}

PeerOwners::PeerOwners() : table_(0) {}

PeerOwners::~PeerOwners() = default;

std::optional<LocalUser> PeerOwners::OfPeer(std::uintptr_t socket, std::string& why) {
  sockaddr_storage local{}, remote{};
  int localSize = sizeof local, remoteSize = sizeof remote;
  const auto s = static_cast<SOCKET>(socket);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
    why = "not a connected socket";
    return std::nullopt;
  }
  std::vector<char> buffer(16 * 1024);
  DWORD owner = 0;
  bool found = false;
  if (local.ss_family == AF_INET && remote.ss_family == AF_INET) {
    const auto& here = reinterpret_cast<const sockaddr_in&>(local);
    const auto& there = reinterpret_cast<const sockaddr_in&>(remote);
    if (!ReadTable<V4>(AF_INET, buffer)) {
      why = "cannot read the TCP table";
      return std::nullopt;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries && !found; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (row.dwLocalAddr == there.sin_addr.s_addr &&
          static_cast<u_short>(row.dwLocalPort) == there.sin_port &&
          row.dwRemoteAddr == here.sin_addr.s_addr &&
          static_cast<u_short>(row.dwRemotePort) == here.sin_port) {
        owner = row.dwOwningPid;
        found = true;
      }
    }
  } else if (local.ss_family == AF_INET6 && remote.ss_family == AF_INET6) {
    const auto& here = reinterpret_cast<const sockaddr_in6&>(local);
    const auto& there = reinterpret_cast<const sockaddr_in6&>(remote);
    if (!ReadTable<V6>(AF_INET6, buffer)) {
      why = "cannot read the TCP table";
      return std::nullopt;
    }
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries && !found; ++i) {
      const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
      if (std::memcmp(row.ucLocalAddr, &there.sin6_addr, 16) == 0 &&
          static_cast<u_short>(row.dwLocalPort) == there.sin6_port &&
          std::memcmp(row.ucRemoteAddr, &here.sin6_addr, 16) == 0 &&
          static_cast<u_short>(row.dwRemotePort) == here.sin6_port) {
        owner = row.dwOwningPid;
        found = true;
      }
    }
  } else {
    why = "not a TCP connection";
    return std::nullopt;
  }
  if (!found) {
    why = "no socket of this machine is its peer";
    return std::nullopt;
  }
  DWORD session = 0;
  if (!ProcessIdToSessionId(owner, &session)) {
    why = "the session of process " + std::to_string(owner) + " is unknown";
    return std::nullopt;
  }
  return session;
}

}  // namespace dralmin
