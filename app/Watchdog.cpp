#include "app/Watchdog.h"

#include <algorithm>
#include <optional>

#include "app/Roles.h"
#include "platform/Log.h"
#include "platform/Process.h"

namespace dralmin {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds RestartBackoff::Next(Clock::duration ranFor) {
  if (ranFor >= kHealthyRun) next_ = kFirst;
  const milliseconds pause = next_;
  next_ = std::min(next_ * 2, kLongest);
  return pause;
}

namespace {

// Waits for the agent to end; a stop request is passed on to it first. Returns its exit code, and
// whether the watchdog was told to stop.
int WaitForAgent(ProcessSignals& signals, ProcessId agent, bool& stopRequested) {
  for (;;) {
    if (std::optional<int> code = TryReap(agent)) return *code;
    if (signals.Wait(milliseconds(-1)) == ProcessSignals::Event::Stop && !stopRequested) {
      stopRequested = true;
      AskToEnd(agent);
    }
  }
}

// Sleeps for the pause; false when a stop request cut it short.
bool Pause(ProcessSignals& signals, milliseconds pause) {
  const auto until = Clock::now() + pause;
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    const auto left = std::chrono::duration_cast<milliseconds>(until - now) + milliseconds(1);
    if (signals.Wait(left) == ProcessSignals::Event::Stop) return false;
  }
  return true;
}

}  // namespace

int RunWatchdog(const std::string& programPath, const WatchdogTime& time) {
  ProcessSignals signals;
  RestartBackoff backoff;
  bool stopRequested = false;
  for (;;) {
    const auto started = time.now();
    std::string error;
    const std::optional<ProcessId> agent =
        StartProcess(programPath, {std::string(kRunMarker)}, &error);
    if (!agent) {
      LogError("watchdog", error + "; nothing to watch");
      return 0;
    }
    const int code = WaitForAgent(signals, *agent, stopRequested);
    if (code == 0 || stopRequested) return 0;
    const milliseconds pause = backoff.Next(time.now() - started);
    if (!(time.sleep ? time.sleep(pause) : Pause(signals, pause))) return 0;
  }
}

}  // namespace dralmin
