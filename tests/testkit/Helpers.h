#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace dralmin::test {

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort();

// A connected loopback socket, closed on destruction.
class Socket {
 public:
  explicit Socket(uint16_t port);  // connects to 127.0.0.1:port; check ok()
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads one reply: the head up to the blank line, then Content-Length body bytes. Empty on
  // timeout or when the peer closes first.
  std::string ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the peer closes the connection within the timeout.
  bool WaitClosed(std::chrono::milliseconds timeout);
  // Closes the connection with a reset instead of an orderly close, as a browser may.
  void Reset();

 private:
  int fd_ = -1;
  std::string pending_;
};

// A loopback port held by a listening socket of this process, for tests of a port in use.
class HeldPort {
 public:
  HeldPort();
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The body of a raw reply (after the blank line).
std::string BodyOf(const std::string& reply);

// A temporary folder, removed with its contents on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// While it lives, this process keeps the user's settings and files in a temporary folder of its
// own: on POSIX through XDG_CONFIG_HOME and XDG_DATA_HOME, on Windows through APPDATA and a
// private HKEY_CURRENT_USER whose application data folder is in the temporary folder.
class PrivateUserProfile {
 public:
  PrivateUserProfile();
  ~PrivateUserProfile();
  PrivateUserProfile(const PrivateUserProfile&) = delete;
  PrivateUserProfile& operator=(const PrivateUserProfile&) = delete;

  // What ConfigHome() and DataHome() of platform/Paths.h now give.
  const std::string& configHome() const { return configHome_; }
  const std::string& dataHome() const { return dataHome_; }

  // A value of platform/UserValue.h as stored, bytes as they are (without the registry's
  // terminating NUL); empty when there is none.
  std::string RawUserValue(const std::string& key, const std::string& name) const;
  void SetRawUserValue(const std::string& key, const std::string& name,
                       const std::string& bytes) const;

 private:
  TempFolder folder_;
  std::string configHome_;
  std::string dataHome_;
  std::string registryKey_;  // Windows: the private key standing for HKEY_CURRENT_USER
  // The variables as they were before: XDG_CONFIG_HOME (APPDATA on Windows) and XDG_DATA_HOME.
  std::optional<std::string> previousConfigHome_;
  std::optional<std::string> previousDataHome_;
};

// Any helper program (a test peer such as a small Python server), killed on destruction.
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  int pid() const { return pid_; }
  void Kill();

 private:
  int pid_ = -1;
};

// How this system words a refused connection in its error messages.
std::string ConnectionRefusedText();

// Sets an environment variable of this process; an empty value removes it.
void SetEnvironment(const char* name, const std::string& value);

// Runs a shell command; its exit status and standard output.
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult RunCommand(const std::string& command);

// Polls `condition` until it holds or the deadline passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec pause {
      0, 10 * 1000 * 1000
    };
    nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace dralmin::test
