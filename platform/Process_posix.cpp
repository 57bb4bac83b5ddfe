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

struct PipedChild::Handles {
  pid_t pid = -1;
  int input = -1;   // this process's end of the child's standard input
  int output = -1;  // this process's end of the child's standard output
};

std::unique_ptr<PipedChild> PipedChild::Start(const std::string& path,
                                              const std::vector<std::string>& args,
                                              std::string& error) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    close(toChild[0]);
    close(toChild[1]);
    return nullptr;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // dup2 clears close-on-exec on the copies; everything else of this process stays behind.
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    close(STDERR_FILENO);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  const int forkError = errno;
  close(toChild[0]);
  close(fromChild[1]);
  if (pid < 0) {
    close(toChild[1]);
    close(fromChild[0]);
    error = std::string("fork: ") + std::strerror(forkError);
    return nullptr;
  }
  std::unique_ptr<PipedChild> child(new PipedChild);
  child->handles_ = std::make_unique<Handles>(Handles{pid, toChild[1], fromChild[0]});
  return child;
}

PipedChild::~PipedChild() {
  Kill();
  Reap(handles_->pid);
  close(handles_->input);
  close(handles_->output);
}

std::size_t PipedChild::Read(void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(handles_->output, static_cast<char*>(data) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool PipedChild::Write(const void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote =
        write(handles_->input, static_cast<const char*>(data) + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

void PipedChild::Kill() {
  kill(handles_->pid, SIGKILL);
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
