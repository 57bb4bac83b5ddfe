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

// Also writes every line to the file at `path` (UTF-8), created when missing and appended to
// otherwise; an empty path stops that. Where a program has no standard error (a Windows program
// started without a console) the file is the only log. A line that would take the file past
// `maxBytes` first moves it to `path` + ".1", replacing the one there, so the two files together
// stay under twice that size. False, with standard error told why, when the file cannot be
// opened; lines then go to standard error only.
bool SetLogFile(const std::string& path, std::size_t maxBytes);

// Messages are cut after this many bytes: they quote what pages, peers and files hold.
inline constexpr std::size_t kLogMessageLimit = 4096;

// `text` fit for one line of a log or of standard error: line breaks and other control bytes
// written as \n, \r, \t or \xHH (so that nobody can forge lines or drive the terminal), and
// cut after `limit` bytes with a note of how many more there were.
std::string LogSafe(std::string_view text, std::size_t limit = kLogMessageLimit);

// Writes the line with one write(2), so lines of different threads never interleave.
// Lines that quote what a page told of itself (its identifiers) are kept out of the recent
// lines, which whoever supports the workstation reads on the status page.
enum class LogReach { kEverywhere, kNotRecent };
void Log(LogLevel level, std::string_view component, std::string_view message,
         LogReach reach = LogReach::kEverywhere);

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
