#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

namespace dralmin {
namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::Info)};

// The ring of recent lines; a deque of strings, bounded, so a chatty peer costs at most
// kLogRingLines lines of memory.
std::mutex gRingMutex;
std::deque<std::string> gRing;

void Remember(std::string_view line) {
  std::lock_guard lock(gRingMutex);
  if (gRing.size() == kLogRingLines) gRing.pop_front();
  gRing.emplace_back(line);
}

}  // namespace

void SetLogLevel(LogLevel level) { gLevel.store(static_cast<int>(level)); }

bool LogEnabled(LogLevel level) { return static_cast<int>(level) <= gLevel.load(); }

std::vector<std::string> RecentLogLines() {
  std::lock_guard lock(gRingMutex);
  return {gRing.begin(), gRing.end()};
}

void Log(LogLevel level, std::string_view component, std::string_view message) {
  if (!LogEnabled(level)) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + length, sizeof stamp - length, ".%03d", static_cast<int>(millis));

  std::string line;
  line.reserve(48 + component.size() + message.size());
  line.append(stamp).append(" ").append(kLogLevelNames[static_cast<size_t>(level)]).append(" ");
  line.append(component).append(": ");
  // Messages quote texts of pages and peers, which may hold line breaks: a call stays one line,
  // so that nobody can forge lines of the journal.
  for (char c : message) {
    if (c == '\n') {
      line.append("\\n");
    } else if (c == '\r') {
      line.append("\\r");
    } else {
      line.push_back(c);
    }
  }
  Remember(line);
  line.push_back('\n');
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) break;  // nowhere left to say it
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace dralmin
