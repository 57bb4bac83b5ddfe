#include "tests/devices/barcode/DriverSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace dralmin::test {
namespace {

using Clock = std::chrono::steady_clock;

// Starts `argv` with stdin and stdout connected to the given descriptors (-1: /dev/null) and
// with `extraEnv` entries added to the environment. Returns the child's id or -1.
int Spawn(const std::vector<std::string>& argv, int stdinFd, int stdoutFd,
          const std::vector<std::string>& extraEnv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& extra : extraEnv) {
      const std::string name = extra.substr(0, extra.find('=') + 1);
      replaced = replaced || std::strncmp(*entry, name.c_str(), name.size()) == 0;
    }
    if (!replaced) env.push_back(*entry);
  }
  for (const std::string& extra : extraEnv) env.push_back(const_cast<char*>(extra.c_str()));
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdinFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  // The daemon complains about resource limits it may not raise; that is noise here.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The test process may have signals blocked for its own reasons; the child starts clean.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = -1;
  const int failed = posix_spawn(&child, args[0], &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return failed ? -1 : child;
}

void EndChild(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// One line from `fd` (without its newline), waiting up to `timeout`; empty on timeout or end.
std::string ReadLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    pollfd ready{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return {};
}

}  // namespace

const char* DriverSimulatorPath() {
  return DRALMIN_BARCODE_SIM_PATH;
}

PrivateBus::PrivateBus(const std::string& configFile) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  const std::string config = configFile.empty() ? "--session" : "--config-file=" + configFile;
  pid_ = Spawn({"/usr/bin/dbus-daemon", config, "--nofork", "--nopidfile", "--print-address=1"},
               -1, out[1], {});
  close(out[1]);
  if (pid_ > 0) address_ = ReadLine(out[0], std::chrono::seconds(10));
  close(out[0]);
}

PrivateBus::~PrivateBus() {
  EndChild(pid_);
}

DriverSimulator::DriverSimulator(const std::string& busAddress) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  pid_ = Spawn({DriverSimulatorPath()}, in[0], out[1], {"DBUS_SESSION_BUS_ADDRESS=" + busAddress});
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (pid_ > 0) ready_ = ReadLine(output_, std::chrono::seconds(10)) == "ready";
}

DriverSimulator::~DriverSimulator() {
  EndChild(pid_);
  if (input_ >= 0) close(input_);
  if (output_ >= 0) close(output_);
}

bool DriverSimulator::Type(const std::string& line) {
  const std::string bytes = line + "\n";
  return write(input_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::vector<std::string> DriverSimulator::Calls(std::size_t count,
                                                std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (lines_.size() < count && Clock::now() < deadline) {
    const std::string line = ReadLine(
        output_, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!line.empty()) lines_.push_back(line);
  }
  return lines_;
}

}  // namespace dralmin::test

// Qt, GLib and libdbus are not built for the thread sanitizer: the hand-overs between a bus
// connection's own thread, Qt's event queues and their users are synchronised inside those
// libraries (and in Qt's inline atomics against them), where the sanitizer cannot see it. Races
// with those libraries on the stack are suppressed for the tests that link this.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6DBus.so.6\n"
         "called_from_lib:libdbus-1.so.3\n"
         "called_from_lib:libglib-2.0.so.0\n"
         "race:libQt6Core.so.6\n"
         "race:libQt6DBus.so.6\n"
         "race:libdbus-1.so.3\n"
         "race:libglib-2.0.so.0\n"
         "race:QAtomicOps\n";
}
