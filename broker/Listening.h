#pragma once

#include <cstdint>
#include <string>

namespace dralmin {

// Opening the sockets that hold the shared ports and the rendezvous.

// A listening TCP socket on `address` and `port` (an IPv6 one for IPv6 only), or -1 with `error`
// (errno) set.
int OpenTcpListener(const std::string& address, std::uint16_t port, int& error);

// Whether an IPv6 listener failed only because the machine has no IPv6 (nobody can bind it).
bool IsNoIpv6(int error);

// A listening local stream socket at `name` (a path, or an abstract name starting with NUL),
// or -1 with `error` set. A path is made connectable by every user.
int OpenLocalListener(const std::string& name, int& error);

// Connects to the local stream socket `name` (as above), or -1 with `error` set.
int ConnectLocal(const std::string& name, int& error);

// The words for why a listener could not open: the same on every system for what commonly
// stops one, and who holds the port when it is taken ("held by user 1001 (process 42,
// python3)").
std::string ListenFailure(const std::string& address, std::uint16_t port, int error);

}  // namespace dralmin
