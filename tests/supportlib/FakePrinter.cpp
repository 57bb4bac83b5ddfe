#include "tests/supportlib/FakePrinter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Process.h"

namespace dralmin::test {
namespace {

std::string JobPath(const std::string& folder, int number) {
  char name[32];
  std::snprintf(name, sizeof name, "/job-%04d.prn", number);
  return folder + name;
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

FakePrinter::FakePrinter() {
  const char* source = std::getenv("DRALMIN_SOURCE_DIR");
  const std::string script =
      std::string(source != nullptr ? source : ".") + "/simulators/printer/fake_label_printer.py";
  const auto pid =
      StartProcess("/usr/bin/python3", {script, "--folder", folder_.path(), "--port", "0"});
  if (!pid) return;
  pid_ = *pid;
  const std::string portFile = folder_.path() + "/port";
  if (WaitFor([&] { return std::filesystem::exists(portFile); }, std::chrono::seconds(10))) {
    port_ = static_cast<uint16_t>(std::atoi(ReadFile(portFile).c_str()));
  }
}

FakePrinter::~FakePrinter() {
  if (pid_ > 0) {
    AskToEnd(pid_);
    Reap(pid_);
  }
}

std::string FakePrinter::Job(int number, std::chrono::milliseconds timeout) const {
  const std::string path = JobPath(folder_.path(), number);
  if (!WaitFor([&] { return std::filesystem::exists(path); }, timeout)) return {};
  return ReadFile(path);
}

int FakePrinter::JobCount() const {
  int count = 0;
  while (std::filesystem::exists(JobPath(folder_.path(), count + 1))) ++count;
  return count;
}

}  // namespace dralmin::test
