#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace dralmin {

// How long the watchdog waits before starting an agent again. A failing agent is restarted for
// ever, but the pause doubles with each quick failure so that, say, a port held by another
// program does not keep a core busy; an agent that ran for a while starts the count afresh.
class RestartBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{500};
  static constexpr std::chrono::milliseconds kLongest{30000};
  static constexpr std::chrono::seconds kHealthyRun{60};

  // The pause before the next start, given how long the last agent ran.
  std::chrono::milliseconds Next(std::chrono::steady_clock::duration ranFor);

 private:
  std::chrono::milliseconds next_ = kFirst;
};

// The watchdog's clock and the sleep between restarts, replaced in tests to check the pauses
// without waiting for them.
struct WatchdogTime {
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
  // Sleeps for the pause; false ends the watchdog. Empty: sleeps until the pause is over or a
  // stop request arrives.
  std::function<bool(std::chrono::milliseconds)> sleep;
};

// The watchdog role: runs the agent (this program with the run marker) until it ends with 0, or
// until the watchdog itself is told to stop, which stops the agent the same way, or until the agent
// cannot be started at all (said on standard error). Returns the watchdog's exit code.
int RunWatchdog(const std::string& programPath, const WatchdogTime& time = {});

}  // namespace dralmin
