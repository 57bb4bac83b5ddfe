#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>

namespace dralmin {
namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::Info)};

// The ring of recent lines, bounded, so a chatty peer costs at most kLogRingLines lines of
// memory. Never destroyed: a thread may still log while the process ends.
struct Ring {
  std::mutex mutex;
  std::deque<std::string> lines;
};

Ring& TheRing() {
  static Ring* const ring = new Ring;
  return *ring;
}

void Remember(std::string_view line) {
  Ring& ring = TheRing();
  const std::lock_guard lock(ring.mutex);
  if (ring.lines.size() == kLogRingLines) ring.lines.pop_front();
  ring.lines.emplace_back(line);
}

void WriteStderr(const std::string& line) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) break;  // nowhere left to say it
    data += written;
    left -= static_cast<size_t>(written);
  }
}

// The log file, if any; its lock also keeps lines of different threads whole and in order.
struct LogFile {
  std::mutex mutex;
  std::filesystem::path path;
  std::string name;  // the path as given, for messages
  std::ofstream stream;
  std::size_t size = 0;
  std::size_t maxBytes = 0;

  void Write(const std::string& line) {
    const std::lock_guard lock(mutex);
    if (!stream.is_open()) return;
    if (size > 0 && size + line.size() > maxBytes) Rotate();
    if (!stream.is_open()) return;
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();  // a crash must not take the lines that explain it
    size += line.size();
  }

  void Rotate() {
    stream.close();
    std::filesystem::path old = path;
    old += ".1";
    std::error_code ignored;
    std::filesystem::remove(old, ignored);
    std::filesystem::rename(path, old, ignored);
    stream.open(path, std::ios::binary | std::ios::trunc);
    size = 0;
    if (!stream.is_open()) WriteStderr("log file " + name + " could not be started anew\n");
  }
};

LogFile& TheLogFile() {
  static LogFile file;
  return file;
}

}  // namespace

bool SetLogFile(const std::string& path, std::size_t maxBytes) {
  LogFile& file = TheLogFile();
  const std::lock_guard lock(file.mutex);
  file.stream.close();
  if (path.empty()) return true;
  file.path = std::filesystem::path(std::u8string(path.begin(), path.end()));
  file.name = path;
  file.maxBytes = maxBytes;
  file.stream.open(file.path, std::ios::binary | std::ios::app);
  if (!file.stream.is_open()) {
    WriteStderr("log file " + path + " cannot be opened; logging to standard error only\n");
    return false;
  }
  std::error_code error;
  const auto size = std::filesystem::file_size(file.path, error);
  file.size = error ? 0 : static_cast<std::size_t>(size);
  return true;
}

void SetLogLevel(LogLevel level) { gLevel.store(static_cast<int>(level)); }

std::string LogSafe(std::string_view text, std::size_t limit) {
  const std::size_t kept = text.size() > limit ? limit : text.size();
  std::string out;
  out.reserve(kept + 32);
  for (const char c : text.substr(0, kept)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  if (kept < text.size()) {
    out += "... (" + std::to_string(text.size() - kept) + " bytes more)";
  }
  return out;
}

bool LogEnabled(LogLevel level) { return static_cast<int>(level) <= gLevel.load(); }

std::vector<std::string> RecentLogLines() {
  Ring& ring = TheRing();
  const std::lock_guard lock(ring.mutex);
  return {ring.lines.begin(), ring.lines.end()};
}

void Log(LogLevel level, std::string_view component, std::string_view message,
         LogReach reach) {
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
  line += LogSafe(message);
  if (reach == LogReach::kEverywhere) Remember(line);
  line.push_back('\n');
  WriteStderr(line);
  TheLogFile().Write(line);
}

}  // namespace dralmin
