#include "gateway/GatewayServer.h"

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <unordered_set>

namespace dralmin {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

class Connection;

// Live connections, so that a stop can close them; touched on the poll thread only.
using ConnectionSet = std::unordered_set<Connection*>;

// One client connection: read a request, hand it over, write the reply, and again.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, const GatewaySettings& settings, RequestHandler& handler,
             ConnectionSet& live)
      : stream_(std::move(socket)), settings_(settings), handler_(handler), live_(live) {
    live_.insert(this);
  }
  ~Connection() { live_.erase(this); }

  void Start() { ReadHeader(); }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(settings_.headerLimit));
    parser_->body_limit(settings_.bodyLimit);
    stream_.expires_after(settings_.idleTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return Fail();
    const auto& header = parser_->get();
    const auto expect = header.find(http::field::expect);
    if (expect != header.end() && beast::iequals(expect->value(), "100-continue")) {
      // Clients such as curl otherwise hold a larger body back for a second.
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = shared_from_this()](beast::error_code error, std::size_t) {
                          if (error) return self->Fail();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRequest(ec); });
  }

  void OnRequest(beast::error_code ec) {
    if (ec) return Fail();
    const auto& message = parser_->get();

    const beast::string_view target = message.target();
    const auto queryStart = target.find('?');
    Request request;
    request.method = message.method_string();
    request.uri = target.substr(0, queryStart);
    request.body = message.body();
    if (const auto it = message.find(http::field::origin); it != message.end()) {
      request.origin = it->value();
    }
    if (const auto it = message.find(http::field::content_type); it != message.end()) {
      request.contentType = it->value();
    }
    reply_ = handler_.HandleRequest(request);
    keepAlive_ = message.keep_alive();

    stream_.expires_after(settings_.idleTimeout);
    asio::async_write(stream_, asio::buffer(reply_),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        self->OnWritten(error);
                      });
  }

  void OnWritten(beast::error_code ec) {
    if (ec || !keepAlive_) return Fail();
    reply_.clear();
    ReadHeader();
  }

  // Every error of a connection (timeout, malformed or oversized request, peer gone) costs that
  // connection only.
  void Fail() { Close(); }

  beast::tcp_stream stream_;
  const GatewaySettings& settings_;
  RequestHandler& handler_;
  ConnectionSet& live_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string reply_;
  bool keepAlive_ = true;
};

}  // namespace

struct GatewayServer::Impl {
  Impl(const GatewaySettings& s, RequestHandler& h) : settings(s), handler(h), acceptor(io) {}

  void Listen() {
    beast::error_code ec;
    const auto address = asio::ip::make_address(settings.listenAddress, ec);
    if (ec) throw ListenerError();
    const tcp::endpoint endpoint(address, settings.httpPort);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw ListenerError();
    Accept();
  }

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (!ec) {
        beast::error_code ignored;
        // Without it a fresh connection's first reply waits on Nagle and delayed ACK (~40 ms).
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<Connection>(std::move(socket), settings, handler, live)->Start();
      }
      Accept();
    });
  }

  void CloseAll() {
    beast::error_code ignored;
    acceptor.close(ignored);
    for (Connection* connection : ConnectionSet(live)) connection->Close();
    // Let the aborted handlers run so that every connection is released here, on this thread.
    io.restart();
    io.poll();
  }

  GatewaySettings settings;
  RequestHandler& handler;
  ConnectionSet live;  // before io: connections still held by handlers deregister as io goes
  asio::io_context io{1};
  tcp::acceptor acceptor;
  std::atomic<bool> stopRequested{false};
};

GatewayServer::GatewayServer(const GatewaySettings& settings, RequestHandler& handler)
    : impl_(std::make_unique<Impl>(settings, handler)) {
  impl_->Listen();
}

GatewayServer::~GatewayServer() {
  if (impl_->acceptor.is_open()) impl_->CloseAll();
}

void GatewayServer::Run() {
  Impl& s = *impl_;
  while (!s.stopRequested.load()) {
    s.io.run_for(kPollInterval);
    if (s.io.stopped()) s.io.restart();
  }
  s.CloseAll();
}

void GatewayServer::Stop() {
  impl_->stopRequested.store(true);
  impl_->io.stop();
}

uint16_t GatewayServer::HttpPort() const {
  return impl_->acceptor.local_endpoint().port();
}

}  // namespace dralmin
