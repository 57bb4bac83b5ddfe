#include "platform/PeerOwner.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace dralmin {
namespace {

// A listening loopback socket of the given family on a free port.
struct Listener {
  explicit Listener(int family) : family(family) {
    fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t size = 0;
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
    ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
         listen(fd, 4) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    bound = address;
    length = size;
  }
  ~Listener() { close(fd); }
  // A new client socket connected to this listener.
  int Connect() const {
    const int client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<const sockaddr*>(&bound), length) != 0) return -1;
    return client;
  }
  int family;
  int fd = -1;
  bool ok = false;
  sockaddr_storage bound{};
  socklen_t length = 0;
};

TEST(PeerOwnerTest, BothEndsOfALoopbackConnectionBelongToThisUser) {
  PeerOwners owners;
  for (const int family : {AF_INET, AF_INET6}) {
    Listener listener(family);
    if (!listener.ok) continue;  // no IPv6 loopback here
    const int client = listener.Connect();
    ASSERT_GE(client, 0);
    const int accepted = accept(listener.fd, nullptr, nullptr);
    std::string why;
    EXPECT_EQ(owners.OfPeer(accepted, why), CurrentLocalUser()) << why;
    EXPECT_EQ(owners.OfPeer(client, why), CurrentLocalUser()) << why;
    close(accepted);
    close(client);
  }
}

// A client that sent its request and closed at once has no owner any more: the kernel would report
// its lingering socket as user 0's, and a request served as that user's would run as root's.
TEST(PeerOwnerTest, APeerClosedByItsProcessBelongsToNobody) {
  PeerOwners owners;
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok);
  const int client = listener.Connect();
  ASSERT_GE(client, 0);
  ASSERT_EQ(send(client, "GET / HTTP/1.1\r\n\r\n", 18, 0), 18);
  close(client);
  const int accepted = accept(listener.fd, nullptr, nullptr);
  std::string why;
  EXPECT_EQ(owners.OfPeer(accepted, why), std::nullopt);
  EXPECT_EQ(why, "its peer's socket is no longer open in any process");
  close(accepted);
}

TEST(PeerOwnerTest, TheListenerOfAPortIsFoundWithItsProcess) {
  PeerOwners owners;
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok);
  const auto port = ntohs(reinterpret_cast<const sockaddr_in&>(listener.bound).sin_port);
  std::string why;
  const auto holder = owners.OfListener("127.0.0.1", port, why);
  ASSERT_TRUE(holder) << why;
  EXPECT_EQ(holder->user, CurrentLocalUser());
  EXPECT_EQ(holder->process, static_cast<std::uint32_t>(getpid()));
  close(listener.fd);
  listener.fd = -1;
  EXPECT_EQ(owners.OfListener("127.0.0.1", port, why), std::nullopt);
}

// Both ends of a connection of one user give the same answer whichever end is looked up; only a
// peer of another user shows that the lookup finds the far end and not the near one.
TEST(PeerOwnerTest, APeerOfAnotherUserIsThatUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to connect as another user";
  constexpr uid_t kOther = 65534;
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.ok);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Connected as the other user, and kept open until the parent has looked.
    if (setgid(kOther) != 0 || setuid(kOther) != 0) _exit(1);
    const int client = listener.Connect();
    char byte = client >= 0 ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    close(ready[1]);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_EQ(byte, 'y');
  const int accepted = accept(listener.fd, nullptr, nullptr);
  PeerOwners owners;
  std::string why;
  EXPECT_EQ(owners.OfPeer(accepted, why), kOther) << why;
  close(accepted);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace dralmin
