// An agent's web server with shared ports on the given plain port, answering every request with
// its own process id: what the tests of handing connections between processes talk to.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "gateway/GatewayServer.h"

namespace {

class ProcessIdHandler : public dralmin::RequestHandler {
 public:
  std::string HandleRequest(const dralmin::Request&) override {
    const std::string body = std::to_string(GetCurrentProcessId());
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  dralmin::GatewaySettings settings;
  settings.httpPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  settings.sharedPorts = true;
  ProcessIdHandler handler;
  dralmin::GatewayServer server(settings, handler);
  server.Run();  // until the test ends the process
  return 0;
}
