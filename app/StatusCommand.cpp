#include "app/StatusCommand.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <ostream>

#include "gateway/StatusPage.h"

namespace dralmin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

int PrintAgentStatus(const AgentSettings& settings, std::ostream& out, std::ostream& err) {
  // An agent that listens on every address answers on the loopback one.
  std::string host = settings.listenAddress;
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "::") host = "::1";

  asio::io_context io;
  beast::tcp_stream stream(io);
  http::request<http::empty_body> request(http::verb::get, std::string(kStatusPath), 11);
  // The agent answers its status only to its own loopback name and port, whichever address it
  // listens on.
  const std::string hostName = host.find(':') != std::string::npos ? "[::1]" : "127.0.0.1";
  request.set(http::field::host, hostName + ":" + std::to_string(settings.httpPort));
  request.set(http::field::accept, "text/plain");
  request.set(http::field::connection, "close");
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code failure;
  bool connected = false;

  boost::system::error_code parse;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(host, parse), settings.httpPort);
  if (parse) {
    err << "cannot reach the agent: '" << host << "' is not an address\n";
    return 1;
  }
  // The agent answers its requests one at a time: a device it waits for may delay this one.
  stream.expires_after(std::chrono::seconds(30));
  stream.async_connect(endpoint, [&](beast::error_code ec) {
    if (ec) {
      failure = ec;
      return;
    }
    connected = true;
    http::async_write(stream, request, [&](beast::error_code ec, size_t) {
      if (ec) {
        failure = ec;
        return;
      }
      http::async_read(stream, buffer, response,
                       [&](beast::error_code ec, size_t) { failure = ec; });
    });
  });
  io.run();

  if (!connected) {
    err << "no agent answers on " << host << ":" << settings.httpPort << " (" << failure.message()
        << ")\n";
    return kNoAgentRuns;
  }
  if (failure) {
    err << "the agent on " << host << ":" << settings.httpPort
        << " did not answer: " << failure.message() << "\n";
    return 1;
  }
  if (response.result() != http::status::ok) {
    err << "the agent refused the status request (HTTP " << response.result_int() << ")\n";
    return 1;
  }
  // Whatever else listens on the port (a development server, say) is no agent to report on.
  if (!response.body().starts_with("Dralmin Tray Agent ")) {
    err << "the program on " << host << ":" << settings.httpPort << " is not an agent\n";
    return 1;
  }
  // Whatever reached the agent's log must not drive this terminal.
  out << PrintableLines(response.body());
  return 0;
}

}  // namespace dralmin
