// A networked scale's web page for trying "/ip_weight/" without one. Serves the weight line, the
// unit line and a counter that grows with every request, until interrupted.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>

#include "simulators/netscale/NetScaleServer.h"

namespace {

constexpr const char* kUsage =
    "usage: dralmin-netscale-simulator [--port N] [--weight TEXT] [--unit TEXT]\n"
    "  --port N       port on 127.0.0.1 (default: any free port, printed at start)\n"
    "  --weight TEXT  first line of the page (default +00.512)\n"
    "  --unit TEXT    second line of the page (default kg)\n";

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string weight = "+00.512";
  std::string unit = "kg";
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) {
      std::cerr << kUsage;
      return 2;
    }
    const std::string value = argv[++i];
    if (option == "--port") {
      port = std::atoi(value.c_str());
    } else if (option == "--weight") {
      weight = value;
    } else if (option == "--unit") {
      unit = value;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (port < 0 || port > 65535) {
    std::cerr << kUsage;
    return 2;
  }

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::atomic<unsigned> counter{0};
  try {
    dralmin::NetScaleServer server(
        [&](const std::string&) {
          return dralmin::NetScaleServer::Page{
              200, weight + "\r\n" + unit + "\r\n" + std::to_string(++counter) + "\r\n"};
        },
        static_cast<std::uint16_t>(port));
    std::cout << "127.0.0.1:" << server.port() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const std::exception& error) {
    std::cerr << "dralmin-netscale-simulator: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
