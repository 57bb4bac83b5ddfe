// A networked scale's web page for trying "/ip_weight/" without one. Serves the weight line, the
// unit line and a counter that grows with every request, until interrupted.
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>

#include "simulators/SimulatorMain.h"
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
  const auto exitCode = dralmin::simulators::ParseOptions(
      argc, argv, kUsage, [&](const std::string& option, const std::string& value) {
        if (option == "--port") {
          port = std::atoi(value.c_str());
          return port >= 0 && port <= 65535;
        }
        if (option == "--weight") {
          weight = value;
        } else if (option == "--unit") {
          unit = value;
        } else {
          return false;
        }
        return true;
      });
  if (exitCode) return *exitCode;

  dralmin::simulators::StopRequest stop;
  std::atomic<unsigned> counter{0};
  try {
    dralmin::NetScaleServer server(
        [&](const std::string&) {
          return dralmin::NetScaleServer::Page{
              200, weight + "\r\n" + unit + "\r\n" + std::to_string(++counter) + "\r\n"};
        },
        static_cast<std::uint16_t>(port));
    std::cout << "127.0.0.1:" << server.port() << std::endl;
    stop.Wait();
  } catch (const std::exception& error) {
    std::cerr << "dralmin-netscale-simulator: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
