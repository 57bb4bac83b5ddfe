#pragma once

#include <chrono>
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
