#include "broker/RefusalLog.h"

#include "platform/Log.h"

namespace dralmin {

std::string RefusalLog::Note(std::uint64_t who, const std::string& line, Clock::time_point now) {
  // Entries of users quiet for an interval are forgotten, so the table stays as small as the
  // number of users refused lately.
  if (entries_.size() > 4096) {
    std::erase_if(entries_, [&](const auto& e) { return now - e.second.said >= interval_; });
  }
  auto [entry, added] = entries_.try_emplace(who, Entry{now, 0});
  if (!added && now - entry->second.said < interval_) {
    ++entry->second.unsaid;
    return {};
  }
  const std::uint64_t unsaid = added ? 0 : entry->second.unsaid;
  entry->second = Entry{now, 0};
  if (unsaid == 0) return line;
  return line + " (and " + std::to_string(unsaid) + " more like it since the last such line)";
}

void RefusalLog::Say(std::uint64_t who, const std::string& line) {
  const std::string said = Note(who, line, Clock::now());
  if (!said.empty()) LogWarning("ports", said);
}

}  // namespace dralmin
