#include "tests/testkit/AgentProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

extern char** environ;

namespace dralmin::test {

const char* AgentPath() {
  return DRALMIN_AGENT_PATH;
}

AgentProcess::AgentProcess(std::vector<std::string> extraEnv, Role role, bool waitForListener,
                           const std::string& stderrFile)
    : port_(FreePort()), httpsPort_(FreePort()) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  env.push_back("HOME=" + home());
  env.push_back("XDG_RUNTIME_DIR=" + home());
  env.push_back("XDG_CONFIG_HOME=" + home() + "/config");
  env.push_back("XDG_CONFIG_DIRS=" + home() + "/system-config");  // not this machine's settings
  env.push_back("XDG_DATA_HOME=" + home() + "/data");
  env.push_back("DRALMIN_HTTP_PORT=" + std::to_string(port_));
  env.push_back("DRALMIN_HTTPS_PORT=" + std::to_string(httpsPort_));
  // No scale unless a test names one: the machine's own serial ports are not the tests' to
  // probe, and each one that opens holds a weighing for its ENQ time-out.
  env.push_back("DRALMIN_SERIAL_PORTS=" + home() + "/no-scale");
  // Later entries win: getenv finds the first match, so put the overrides first.
  std::vector<std::string> ordered(extraEnv.begin(), extraEnv.end());
  ordered.insert(ordered.end(), env.rbegin(), env.rend());

  std::vector<char*> envp;
  for (std::string& entry : ordered) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = AgentPath();
  std::string marker = "run";
  std::vector<char*> argv{program.data()};
  if (role == Role::Agent) argv.push_back(marker.data());
  argv.push_back(nullptr);

  const int errors =
      stderrFile.empty() ? -1 : open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (errors >= 0) dup2(errors, STDERR_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (errors >= 0) close(errors);
  if (waitForListener) WaitListening();
}

AgentProcess::~AgentProcess() {
  if (!reaped_) Stop();
}

bool AgentProcess::WaitListening(std::chrono::milliseconds timeout) const {
  return WaitFor([this] { return Socket(port_).ok(); }, timeout);
}

std::string AgentProcess::Exchange(const std::string& rawRequest,
                                   std::chrono::milliseconds timeout) {
  Socket socket(port_);
  if (!socket.ok() || !socket.Send(rawRequest)) return {};
  return socket.ReadReply(timeout);
}

std::string AgentProcess::Get(const std::string& path, std::chrono::milliseconds timeout) {
  return BodyOf(Exchange("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", timeout));
}

int AgentProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (reaped_) return -1;
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
  if (!ended) return -1;
  reaped_ = true;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

int AgentProcess::Stop(std::chrono::milliseconds timeout) {
  if (reaped_) return -1;
  kill(pid_, SIGTERM);
  const int code = WaitExit(timeout);
  if (code >= 0) return code;
  for (int child : Children()) kill(child, SIGKILL);
  kill(pid_, SIGKILL);
  return WaitExit(std::chrono::seconds(5));
}

std::vector<int> AgentProcess::Children() const {
  std::vector<int> children;
  std::ifstream file("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                     "/children");
  int child = 0;
  while (file >> child) children.push_back(child);
  return children;
}

}  // namespace dralmin::test
