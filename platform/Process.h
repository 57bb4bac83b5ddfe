#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dralmin {

using ProcessId = int;

// Starts `path` with the given arguments (argv[0] is `path`), the caller's environment and current
// folder, and every signal at its default with none blocked. Returns the child's id once it runs
// the program; nullopt, with `error` saying why, when it could not be started (no process, or
// the program could not be executed).
std::optional<ProcessId> StartProcess(const std::string& path, const std::vector<std::string>& args,
                                      std::string* error = nullptr);

// Exit code of an ended child: its status, or 128 + the signal that killed it. Nullopt while it
// still runs. Reaps the child.
std::optional<int> TryReap(ProcessId child);

// Blocks until the child ends; its exit code as for TryReap.
int Reap(ProcessId child);

// Asks a child to end (SIGTERM).
void AskToEnd(ProcessId child);

// A child whose standard input and output are a pipe pair to this process, and which inherits
// no other handle or descriptor of it (its standard error is closed), so that only this process
// can talk to it. Reads and writes may come from two threads at once.
class PipedChild {
 public:
  // Starts `path` as StartProcess does; null, with `error` saying why, when it cannot be started.
  static std::unique_ptr<PipedChild> Start(const std::string& path,
                                           const std::vector<std::string>& args,
                                           std::string& error);
  // Ends the child (Kill) and reaps it.
  ~PipedChild();
  PipedChild(const PipedChild&) = delete;
  PipedChild& operator=(const PipedChild&) = delete;

  // Reads `size` bytes of the child's output, waiting for them; fewer only when its output ended
  // (the child ended, or was killed) or failed.
  std::size_t Read(void* data, std::size_t size);
  // Writes all of `data` to the child's input; false when the pipe is broken.
  bool Write(const void* data, std::size_t size);
  // Ends the child at once; a Read waiting on its output returns then.
  void Kill();

 private:
  PipedChild() = default;
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

// Signals that end a waiting role or tell it a child ended, delivered synchronously instead of to
// handlers. Construct it on the main thread before any other thread starts, so every thread
// inherits the blocked mask and only Wait receives these signals.
class ProcessSignals {
 public:
  enum class Event { Stop, ChildEnded, Timeout };

  ProcessSignals();
  ~ProcessSignals();
  ProcessSignals(const ProcessSignals&) = delete;
  ProcessSignals& operator=(const ProcessSignals&) = delete;

  // Waits for SIGTERM or SIGINT (Stop), SIGCHLD (ChildEnded), or the timeout.
  // A negative timeout waits without limit.
  Event Wait(std::chrono::milliseconds timeout);
};

}  // namespace dralmin
