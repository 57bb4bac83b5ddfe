#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include "platform/PeerOwner.h"

namespace dralmin {
namespace {

// The peer of an accepted loopback connection is found in the system's table, with this
// process as its owner and this session as its user; IPv4, and IPv6 where there is a loopback.
// (Only a peer of another process would show that it is the far end that is found: under Wine,
// see the handing over between processes in the gateway's tests.)
TEST(PeerOwnerTest, TheOwnerOfALoopbackPeerIsItsProcessAndSession) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  PeerOwners owners;
  for (const int family : {AF_INET, AF_INET6}) {
    const SOCKET listener = socket(family, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_storage address{};
    int size = 0;
    if (family == AF_INET) {
      auto& in = reinterpret_cast<sockaddr_in&>(address);
      in.sin_family = AF_INET;
      in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      size = sizeof in;
    } else {
      auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = in6addr_loopback;
      size = sizeof in6;
    }
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0) {
      closesocket(listener);
      ASSERT_EQ(family, AF_INET6) << "no IPv4 loopback";
      continue;  // no IPv6 loopback here
    }
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const SOCKET client = socket(family, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
    // A request sent at once, as a browser does (Wine names a socket's process only then).
    ASSERT_EQ(send(client, "G", 1, 0), 1);
    const SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    std::string why;
    const auto process = owners.ProcessOfPeer(accepted, why);
    ASSERT_TRUE(process) << family << " " << why;
    // Wine 8 lists IPv6 connections without their processes; Windows names them all.
    if (family == AF_INET || *process != 0) {
      EXPECT_EQ(*process, GetCurrentProcessId()) << family;
      EXPECT_EQ(owners.OfPeer(accepted, why), CurrentLocalUser()) << family << " " << why;
    }
    closesocket(accepted);
    closesocket(client);
    closesocket(listener);
  }
  WSACleanup();
}

}  // namespace
}  // namespace dralmin
