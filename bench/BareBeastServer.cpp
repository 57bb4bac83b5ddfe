// The yardstick for the agent's server: a plain asynchronous Beast server as the library's own
// examples write one (one thread, a timed tcp_stream per connection, a request message parsed
// whole and a response message serialised for each request), answering every request with the
// bytes the agent sends for "/barcode" when no code is waiting. It shares no code with the agent.
//
//     bare_beast_server [PORT]    listens on 127.0.0.1 (PORT 0 or none: a free port), prints the
//                                 port on standard output and serves until killed
#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket) : stream_(std::move(socket)) {}

  void Read() {
    request_ = {};
    stream_.expires_after(std::chrono::seconds(30));
    http::async_read(stream_, buffer_, request_,
                     beast::bind_front_handler(&Session::OnRead, shared_from_this()));
  }

 private:
  void OnRead(beast::error_code ec, std::size_t) {
    if (ec) return Close();
    response_ = {http::status::ok, request_.version()};
    response_.set(http::field::content_type, "text/javascript; charset=windows-1251");
    response_.content_length(0);
    response_.keep_alive(request_.keep_alive());
    http::async_write(stream_, response_,
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
  }

  void OnWrite(beast::error_code ec, std::size_t) {
    if (ec || !response_.keep_alive()) return Close();
    Read();
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::empty_body> response_;
};

class Listener {
 public:
  Listener(asio::io_context& io, unsigned short port) : acceptor_(io) {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
  }

  unsigned short Port() const { return acceptor_.local_endpoint().port(); }

  void Accept() {
    // One thread, so no strand.
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (!ec) {
        socket.set_option(tcp::no_delay(true));
        std::make_shared<Session>(std::move(socket))->Read();
      }
      Accept();
    });
  }

 private:
  tcp::acceptor acceptor_;
};

}  // namespace

int main(int argc, char** argv) {
  asio::io_context io{1};
  Listener listener(io, static_cast<unsigned short>(argc > 1 ? std::atoi(argv[1]) : 0));
  std::cout << listener.Port() << std::endl;
  listener.Accept();
  io.run();
}
