#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace dralmin {

// Lines about refused connections and registrations, at most one per user per interval: any
// user can make refusals as fast as they can connect, and must not push everyone else's lines
// out of the log. A line said after a quiet spell tells how many were left unsaid before it.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RefusalLog(Clock::duration interval = std::chrono::minutes(1)) : interval_(interval) {}

  // Who a refusal is about: a user, or nobody the system could name.
  static constexpr std::uint64_t kNobody = ~std::uint64_t{0};

  // The line to log for this refusal of `who`, or an empty string when one was said for `who`
  // within the interval.
  std::string Note(std::uint64_t who, const std::string& line, Clock::time_point now);
  void Say(std::uint64_t who, const std::string& line);  // Note now, logged as a warning

 private:
  struct Entry {
    Clock::time_point said;
    std::uint64_t unsaid = 0;
  };
  Clock::duration interval_;
  std::unordered_map<std::uint64_t, Entry> entries_;
};

}  // namespace dralmin
