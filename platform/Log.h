#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dralmin {

// Diagnostics for whoever supports the workstation: one line on standard error each, with a time
// stamp, the level and the component ("scale", "gateway", ...). The user unit sends it to the
// journal. Success stays quiet; a failure that a page sees as 0, empty or an error form is logged
// once, naming the device or peer and the reason.
enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Set once at start-up from the settings; lines above this level are dropped. Default: Info.
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);

// The levels' names, in the order of their values.
inline constexpr std::array<std::string_view, 4> kLogLevelNames = {"error", "warning", "info",
                                                                   "debug"};

// Writes the line with one write(2), so lines of different threads never interleave.
void Log(LogLevel level, std::string_view component, std::string_view message);

// The last lines written (at most kLogRingLines, oldest first, without their line ends), kept in
// memory for the agent's status page, which shows them where no journal or log file is at hand.
inline constexpr size_t kLogRingLines = 200;
std::vector<std::string> RecentLogLines();

inline void LogError(std::string_view component, std::string_view message) {
  Log(LogLevel::Error, component, message);
}
inline void LogWarning(std::string_view component, std::string_view message) {
  Log(LogLevel::Warning, component, message);
}
inline void LogInfo(std::string_view component, std::string_view message) {
  Log(LogLevel::Info, component, message);
}

}  // namespace dralmin
