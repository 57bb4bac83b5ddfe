#include "tests/supportlib/FakePrinter.h"

#include <fstream>
#include <sstream>

namespace dralmin::test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

FakePrinter::FakePrinter() : server_([this](int connection) { Receive(connection); }) {}

void FakePrinter::Receive(int connection) {
  std::string job;
  char buffer[65536];
  long got;
  while ((got = loopback::Receive(connection, buffer, sizeof buffer)) > 0) {
    job.append(buffer, static_cast<size_t>(got));
  }
  {
    const std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  arrived_.notify_all();
}

std::string FakePrinter::Job(int number, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  const auto index = static_cast<size_t>(number - 1);
  if (!arrived_.wait_for(lock, timeout, [&] { return jobs_.size() > index; })) return {};
  return jobs_[index];
}

int FakePrinter::JobCount() const {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(jobs_.size());
}

}  // namespace dralmin::test
