#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "broker/BrokerProtocol.h"

namespace dralmin {

// The port broker's command line, the same on every system but for the rendezvous (a socket's
// path, or a named pipe on Windows) and, on Windows, running in the foreground rather than as the
// service, and the installer's setting of the service's recovery.
struct BrokerOptions {
  rendezvous::Ports ports{8081, 8433};
#ifdef _WIN32
  std::string rendezvous = R"(\\.\pipe\dralmin-tray-agent-broker)";
#else
  std::string rendezvous = "/run/dralmin-tray-agent/broker.sock";
#endif
  bool foreground = false;
  bool restartOnFailure = false;  // Windows: set the installed service to restart when it fails
};

// How the broker is started, for --help and for a wrong argument.
extern const char* const kBrokerUsage;

// Reads `args` (without the program's name): -1 to go on, or the status to exit with after what
// was written to `out` (--help) or `err` (a wrong argument).
int ParseBrokerOptions(const std::vector<std::string>& args, BrokerOptions& options,
                       std::ostream& out, std::ostream& err);

}  // namespace dralmin
