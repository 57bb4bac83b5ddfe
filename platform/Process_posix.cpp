#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/Process.h"

namespace dralmin {
namespace {

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGCHLD);
  return set;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

std::optional<ProcessId> StartProcess(const std::string& path, const std::vector<std::string>& args,
                                      std::string* error) {
  const auto fail = [error](const std::string& why) -> std::optional<ProcessId> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The child reports a failed exec through this pipe; a successful one closes it unwritten, so
  // an exec failure is never mistaken for a program that ran and failed.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  const pid_t child = fork();
  if (child < 0) {
    const int forkError = errno;
    close(report[0]);
    close(report[1]);
    return fail(std::string("fork: ") + std::strerror(forkError));
  }
  if (child == 0) {
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGCHLD, SIGPIPE})
      sigaction(sig, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path.c_str(), argv.data());
    const int execError = errno;
    [[maybe_unused]] const ssize_t ignored = write(report[1], &execError, sizeof execError);
    _exit(127);
  }
  close(report[1]);
  int execError = 0;
  ssize_t got;
  do {
    got = read(report[0], &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got <= 0) return child;
  Reap(child);
  return fail("cannot run " + path + ": " + std::strerror(execError));
}

std::optional<int> TryReap(ProcessId child) {
  int status = 0;
  pid_t done;
  do {
    done = waitpid(child, &status, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == child) return ExitCodeOf(status);
  if (done < 0) return 1;  // not our child any more: treat as a failed run
  return std::nullopt;
}

int Reap(ProcessId child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  return ExitCodeOf(status);
}

void AskToEnd(ProcessId child) {
  kill(child, SIGTERM);
}

ProcessSignals::ProcessSignals() {
  const sigset_t set = HandledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ProcessSignals::~ProcessSignals() {
  const sigset_t set = HandledSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

ProcessSignals::Event ProcessSignals::Wait(std::chrono::milliseconds timeout) {
  const sigset_t set = HandledSignals();
  timespec limit{};
  if (timeout.count() >= 0) {
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_nsec = static_cast<long>(timeout.count() % 1000) * 1000000L;
  }
  for (;;) {
    const int sig =
        timeout.count() >= 0 ? sigtimedwait(&set, nullptr, &limit) : sigwaitinfo(&set, nullptr);
    if (sig < 0) {
      if (errno == EINTR) continue;
      return Event::Timeout;
    }
    if (sig == SIGCHLD) return Event::ChildEnded;
    return Event::Stop;
  }
}

}  // namespace dralmin
