#include "tests/testkit/Helpers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace dralmin::test {

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

std::string ConnectionRefusedText() {
  return std::strerror(ECONNREFUSED);
}

void SetEnvironment(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

PrivateUserProfile::PrivateUserProfile()
    : configHome_(folder_.path() + "/config"),
      dataHome_(folder_.path() + "/data"),
      previousConfigHome_(Variable("XDG_CONFIG_HOME")),
      previousDataHome_(Variable("XDG_DATA_HOME")) {
  SetEnvironment("XDG_CONFIG_HOME", configHome_);
  SetEnvironment("XDG_DATA_HOME", dataHome_);
}

PrivateUserProfile::~PrivateUserProfile() {
  SetEnvironment("XDG_CONFIG_HOME", previousConfigHome_.value_or(""));
  SetEnvironment("XDG_DATA_HOME", previousDataHome_.value_or(""));
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
