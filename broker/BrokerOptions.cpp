#include "broker/BrokerOptions.h"

#include <charconv>

namespace dralmin {
namespace {

bool ParsePort(const std::string& text, std::uint16_t& port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

#ifdef _WIN32
const char* const kBrokerUsage =
    "usage: dralmin-port-broker [--http-port N] [--https-port N] [--pipe NAME] [--foreground]\n"
    "Holds the agents' ports on 127.0.0.1 and ::1 (default 8081 and 8433) and passes each\n"
    "connection to the registered agent of the logon session at its other end. Agents register\n"
    "at the named pipe NAME (default \\\\.\\pipe\\dralmin-tray-agent-broker). Runs as the\n"
    "service dralmin-port-broker, or with --foreground in this console until Ctrl-C.\n"
    "--restart-on-failure (for the installer) sets the installed service to be restarted by\n"
    "the system when it fails, and exits.\n";
#else
const char* const kBrokerUsage =
    "usage: dralmin-port-broker [--http-port N] [--https-port N] [--socket PATH]\n"
    "Holds the agents' ports on 127.0.0.1 and ::1 (default 8081 and 8433) and passes each\n"
    "connection to the registered agent of the user at its other end. Agents register at\n"
    "PATH (default /run/dralmin-tray-agent/broker.sock). Sockets passed in by the system\n"
    "(LISTEN_FDS) are used instead of opening them.\n";
#endif

int ParseBrokerOptions(const std::vector<std::string>& args, BrokerOptions& options,
                       std::ostream& out, std::ostream& err) {
#ifdef _WIN32
  const std::string rendezvousFlag = "--pipe";
#else
  const std::string rendezvousFlag = "--socket";
#endif
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") {
      out << kBrokerUsage;
      return 0;
    }
    const bool hasValue = i + 1 < args.size();
    if (arg == "--http-port" && hasValue && ParsePort(args[i + 1], options.ports.http)) {
      ++i;
    } else if (arg == "--https-port" && hasValue && ParsePort(args[i + 1], options.ports.https)) {
      ++i;
    } else if (arg == rendezvousFlag && hasValue) {
      options.rendezvous = args[++i];
#ifdef _WIN32
    } else if (arg == "--foreground") {
      options.foreground = true;
    } else if (arg == "--restart-on-failure") {
      options.restartOnFailure = true;
#endif
    } else {
      err << "dralmin-port-broker: unknown or incomplete argument '" << arg << "'\n"
          << kBrokerUsage;
      return 2;
    }
  }
  return -1;
}

}  // namespace dralmin
