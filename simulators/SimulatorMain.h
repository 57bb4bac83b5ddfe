#pragma once

// What the simulator programs share: options of the form "--name VALUE", and running until
// SIGINT or SIGTERM.
#include <signal.h>

#include <functional>
#include <iostream>
#include <optional>
#include <string>

namespace dralmin::simulators {

// Hands each "--name VALUE" pair to `take`, which returns false for an unknown name or a bad
// value. The exit code when the program is to end at once: 0 after --help (the usage on standard
// output), 2 after a bad option (the usage on standard error); nullopt when all were taken.
inline std::optional<int> ParseOptions(
    int argc, char** argv, const char* usage,
    const std::function<bool(const std::string& name, const std::string& value)>& take) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << usage;
      return 0;
    }
    if (i + 1 >= argc || !take(option, argv[i + 1])) {
      std::cerr << usage;
      return 2;
    }
    ++i;
  }
  return std::nullopt;
}

// SIGINT and SIGTERM, blocked when constructed so that threads started afterwards leave them to
// Wait.
class StopRequest {
 public:
  StopRequest() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }

  // Returns once either signal arrives.
  void Wait() {
    int signal = 0;
    sigwait(&signals_, &signal);
  }

 private:
  sigset_t signals_;
};

}  // namespace dralmin::simulators
