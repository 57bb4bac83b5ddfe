#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/testkit/Helpers.h"

namespace dralmin::test {

// The real program, started as agent (default) or as watchdog, with an isolated home and lock
// folder, free ports, no serial ports to search for a scale, and the extra NAME=VALUE environment
// entries.
class AgentProcess {
 public:
  enum class Role { Agent, Watchdog };

  explicit AgentProcess(std::vector<std::string> extraEnv = {}, Role role = Role::Agent,
                        bool waitForListener = true, const std::string& stderrFile = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  uint16_t port() const { return port_; }
  uint16_t httpsPort() const { return httpsPort_; }
  int pid() const { return pid_; }
  const std::string& home() const { return home_.path(); }

  // True once the port accepts connections (within the timeout).
  bool WaitListening(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The body of one GET on a fresh connection; empty when no reply came within the timeout.
  std::string Get(const std::string& path,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Raw request bytes in, one raw reply out, on a fresh connection.
  std::string Exchange(const std::string& rawRequest,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // SIGTERM, then the exit code (waits up to the timeout, then SIGKILL).
  int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The exit code once the process has ended by itself, or -1 after the timeout.
  int WaitExit(std::chrono::milliseconds timeout);

  // Ids of the process's children (the watchdog's agent).
  std::vector<int> Children() const;

 private:
  TempFolder home_;
  uint16_t port_;
  uint16_t httpsPort_;
  int pid_ = -1;
  bool reaped_ = false;
};

// Program path of the built agent.
const char* AgentPath();

}  // namespace dralmin::test
