#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dralmin {

// Who a connection belongs to on this machine: the user id on Linux, the logon session on
// Windows. Agents run one per user (per session), so this names the agent that must serve it.
using LocalUser = std::uint32_t;

// The user this process runs as.
LocalUser CurrentLocalUser();

#ifdef _WIN32
// The logon session of a process, or nullopt when it is gone or may not be asked.
std::optional<LocalUser> SessionOfProcess(std::uint32_t process);

// The peer of a connected socket for the log ("127.0.0.1:50000", "[::1]:50000"), or what it is
// when it has none.
std::string DescribePeer(std::uintptr_t socket);

// Whether the peer of `socket` is on this machine (a loopback address); true for a socket that
// has no peer any more, which is then nobody else's either.
bool PeerIsLoopback(std::uintptr_t socket);
#endif

// Who listens on a port: the user, and the process where the system shows it to this one.
struct PortHolder {
  LocalUser user = 0;
  std::optional<std::uint32_t> process;
  std::string program;
};

// "held by user 1001 (process 42, python3)", as far as the system shows it.
inline std::string DescribeHolder(const PortHolder& holder) {
  std::string text = "held by user " + std::to_string(holder.user);
  if (holder.process) {
    text += " (process " + std::to_string(*holder.process) +
            (holder.program.empty() ? "" : ", " + holder.program) + ")";
  }
  return text;
}

// Looks up, in the operating system's own table of TCP sockets, the owner of the socket at the
// far end of a connected socket. The answer never comes from anything the peer sent.
class PeerOwners {
 public:
  PeerOwners();  // std::system_error when the table cannot be read at all
  ~PeerOwners();
  PeerOwners(const PeerOwners&) = delete;
  PeerOwners& operator=(const PeerOwners&) = delete;

  // The owner of the peer of `socket` (a native socket handle), or nullopt when no socket of
  // this machine is that peer (a connection from another machine, or one already gone), or the
  // peer's socket is no longer open in a process (closed, or left in time-wait); `why` then says
  // which.
  std::optional<LocalUser> OfPeer(std::uintptr_t socket, std::string& why);

  // Who listens on `address` (an IP address) and `port`, or nullopt with `why`.
  std::optional<PortHolder> OfListener(const std::string& address, std::uint16_t port,
                                       std::string& why);

#ifdef _WIN32
  // The id of the process that owns the peer of `socket`: 0 when the table names none (a socket
  // whose process has closed it, or, under Wine, one of a program that is not a Windows one);
  // nullopt, with `why`, as OfPeer. OfPeer is the logon session of this process.
  std::optional<std::uint32_t> ProcessOfPeer(std::uintptr_t socket, std::string& why);
#endif

 private:
  std::intptr_t table_;  // the netlink socket on Linux; unused on Windows
};

}  // namespace dralmin
