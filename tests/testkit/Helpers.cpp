#include "tests/testkit/Helpers.h"
#include "tests/testkit/SocketIo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace dralmin::test {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool detail::Readable(int fd, std::chrono::milliseconds left) {
  pollfd waiting{fd, POLLIN, 0};
  return poll(&waiting, 1, static_cast<int>(left.count())) > 0;
}

long detail::ReceiveSome(int fd, char* buffer, size_t size) {
  return recv(fd, buffer, size, 0);
}

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

Socket::Socket(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Socket::~Socket() {
  if (fd_ >= 0) close(fd_);
}

bool Socket::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Socket::Reset() {
  const linger reset{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd_);
  fd_ = -1;
}

HeldPort::HeldPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 1) != 0) {
    return;
  }
  socklen_t length = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

HeldPort::~HeldPort() { close(fd_); }

TempFolder::TempFolder() {
  char pattern[] = "/tmp/dralmin-test-XXXXXX";
  path_ = mkdtemp(pattern);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  Kill();
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void SetEnvironment(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

PrivateUserProfile::PrivateUserProfile()
    : configHome_(folder_.path() + "/config"), dataHome_(folder_.path() + "/data") {
  SetEnvironment("XDG_CONFIG_HOME", configHome_);
  SetEnvironment("XDG_DATA_HOME", dataHome_);
}

PrivateUserProfile::~PrivateUserProfile() {
  SetEnvironment("XDG_CONFIG_HOME", "");
  SetEnvironment("XDG_DATA_HOME", "");
}

std::string PrivateUserProfile::RawUserValue(const std::string& key,
                                             const std::string& name) const {
  std::ifstream file(configHome_ + "/" + key + "/" + name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void PrivateUserProfile::SetRawUserValue(const std::string& key, const std::string& name,
                                         const std::string& bytes) const {
  std::filesystem::create_directories(configHome_ + "/" + key);
  std::ofstream(configHome_ + "/" + key + "/" + name, std::ios::binary) << bytes;
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace dralmin::test
