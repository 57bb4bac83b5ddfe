#include "gateway/GatewayServer.h"

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <future>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "platform/Log.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// Live connections, so that a stop can close them; touched on the poll thread only.
class ConnectionBase {
 public:
  virtual ~ConnectionBase() = default;
  virtual void Close() = 0;
};
using ConnectionSet = std::unordered_set<ConnectionBase*>;

// A peer that leaves, resets its connection or lets it idle out, and our own close at a stop
// (which may meet an operation begun after it), are how connections end; anything else is a
// failure worth a line.
bool IsOrdinaryEnd(beast::error_code ec) {
  return ec == http::error::end_of_stream || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor ||
         ec == beast::error::timeout || ec == ssl::error::stream_truncated;
}

// One client connection: read a request, hand it over, write the reply, and again. Every error
// of a connection (timeout, malformed or oversized request, failed handshake, peer gone) closes
// that connection and nothing else, and is judged in Fail.
template <typename Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  template <typename... StreamArgs>
  Connection(const GatewaySettings& settings, RequestHandler& handler, ConnectionSet& live,
             StreamArgs&&... streamArgs)
      : stream_(std::forward<StreamArgs>(streamArgs)...),
        settings_(settings),
        handler_(handler),
        live_(live) {
    live_.insert(this);
  }
  ~Connection() override { live_.erase(this); }

  void Start() {
    beast::error_code ignored;
    const tcp::endpoint remote = Lowest().socket().remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      // A client that stalls in the handshake holds its own connection only, and not for long.
      Lowest().expires_after(settings_.handshakeTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Fail(ec, "TLS handshake");
                                self->ReadHeader();
                              });
    } else {
      ReadHeader();
    }
  }

  void Close() override {
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

 private:
  void Fail(beast::error_code ec, std::string_view what) {
    if (!IsOrdinaryEnd(ec)) {
      LogWarning("gateway", "connection from " + peer_ + " closed: " + std::string(what) + ": " +
                                ec.message());
    }
    Close();
  }

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(settings_.headerLimit));
    parser_->body_limit(settings_.bodyLimit);
    Lowest().expires_after(settings_.idleTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              self->OnHeader(ec);
                            });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return Fail(ec, "request head");
    const auto& header = parser_->get();
    const auto expect = header.find(http::field::expect);
    if (expect != header.end() && beast::iequals(expect->value(), "100-continue")) {
      // Clients such as curl otherwise hold a larger body back for a second.
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                          if (error) return self->Fail(error, "writing 100 Continue");
                          self->ReadBody();
                        });
      return;
    }
    // A request without a body is complete with its header; a second read would only cost a
    // round through the event loop.
    if (parser_->is_done()) return OnRequest({});
    ReadBody();
  }

  void ReadBody() {
    // The buffer grows only as far as a read fills it, so a large body would come in 512-byte
    // reads, one round through the event loop each.
    if (const auto length = parser_->content_length(); length && *length > kBodyReadSize) {
      buffer_.reserve(kBodyReadSize);
    }
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRequest(ec);
                     });
  }

  void OnRequest(beast::error_code ec) {
    if (ec) return Fail(ec, "request body");
    const auto& message = parser_->get();

    const std::string_view target = message.target();
    Request request;
    request.method = message.method_string();
    request.uri = target.substr(0, target.find('?'));
    request.body = message.body();
    if (const auto it = message.find(http::field::origin); it != message.end()) {
      request.origin = it->value();
    }
    if (const auto it = message.find(http::field::referer); it != message.end()) {
      request.referer = it->value();
    }
    if (const auto it = message.find(http::field::content_type); it != message.end()) {
      request.contentType = it->value();
    }
    if (const auto it = message.find("Access-Control-Request-Private-Network");
        it != message.end()) {
      request.privateNetworkRequest = it->value();
    }
    reply_ = handler_.HandleRequest(request);
    keepAlive_ = message.keep_alive();

    Lowest().expires_after(settings_.idleTimeout);
    asio::async_write(stream_, asio::buffer(reply_),
                      [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                        self->OnWritten(error);
                      });
  }

  void OnWritten(beast::error_code ec) {
    if (ec) return Fail(ec, "writing the reply");
    if (!keepAlive_) return Close();
    reply_.clear();
    // An idle connection holds no more than a small request needs.
    if (buffer_.capacity() > kBodyReadSize / 4) buffer_.shrink_to_fit();
    ReadHeader();
  }

  static constexpr std::size_t kBodyReadSize = 64 * 1024;

  Stream stream_;
  const GatewaySettings& settings_;
  RequestHandler& handler_;
  ConnectionSet& live_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string reply_;
  bool keepAlive_ = true;
  std::string peer_;  // address:port, for the log
};

std::unique_ptr<ssl::context> LoadTlsContext(const TlsFiles& files) {
  auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
  beast::error_code ec;
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                       ec);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  if (!ec) context->use_certificate_chain_file(files.certificateChain, ec);
  if (!ec) context->use_private_key_file(files.privateKey, ssl::context::pem, ec);
  if (!ec && SSL_CTX_check_private_key(context->native_handle()) != 1) {
    throw CertificateError("the private key " + files.privateKey + " does not match " +
                           files.certificateChain);
  }
  if (ec) {
    throw CertificateError("cannot load " + files.certificateChain + " and " + files.privateKey +
                           ": " + ec.message());
  }
  return context;
}

}  // namespace

struct GatewayServer::Impl {
  Impl(const GatewaySettings& s, RequestHandler& h)
      : settings(s), handler(h), plain(io), secure(io) {}

  void Listen(tcp::acceptor& acceptor, uint16_t port) {
    beast::error_code ec;
    const auto address = asio::ip::make_address(settings.listenAddress, ec);
    if (ec) throw ListenerError();
    const tcp::endpoint endpoint(address, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw ListenerError();
  }

  template <typename Stream>
  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        // Out of descriptors or memory: the connection stays in the backlog, so accepting again
        // at once would fail at once and spin this thread. Open connections are served meanwhile.
        asio::steady_timer& retry = &acceptor == &plain ? plainRetry : secureRetry;
        retry.expires_after(kAcceptRetry);
        retry.async_wait([this, &acceptor](beast::error_code timerError) {
          if (!timerError) Accept<Stream>(acceptor);
        });
        return;
      }
      beast::error_code ignored;
      // Without it a fresh connection's first reply waits on Nagle and delayed ACK (~40 ms).
      socket.set_option(tcp::no_delay(true), ignored);
      if constexpr (std::is_same_v<Stream, TlsStream>) {
        std::make_shared<Connection<TlsStream>>(settings, handler, live, std::move(socket), *tls)
            ->Start();
      } else {
        std::make_shared<Connection<PlainStream>>(settings, handler, live, std::move(socket))
            ->Start();
      }
      Accept<Stream>(acceptor);
    });
  }

  void CloseAll() {
    {
      std::lock_guard lock(closeMutex);
      closed = true;
    }
    beast::error_code ignored;
    plain.close(ignored);
    secure.close(ignored);
    plainRetry.cancel();
    secureRetry.cancel();
    for (ConnectionBase* connection : ConnectionSet(live)) connection->Close();
    // Let the aborted handlers run so that every connection is released here, on this thread.
    io.restart();
    io.poll();
  }

  GatewaySettings settings;
  RequestHandler& handler;
  std::unique_ptr<ssl::context> tls;
  ConnectionSet live;  // before io: connections still held by handlers deregister as io goes
  asio::io_context io{1};
  tcp::acceptor plain;
  tcp::acceptor secure;
  asio::steady_timer plainRetry{io};
  asio::steady_timer secureRetry{io};
  std::atomic<bool> stopRequested{false};
  std::atomic<uint16_t> httpsPort{0};
  // Set by CloseAll before its last poll: a handler posted later would never run.
  std::mutex closeMutex;
  bool closed = false;

  static constexpr std::chrono::milliseconds kAcceptRetry{100};
};

GatewayServer::GatewayServer(const GatewaySettings& settings, RequestHandler& handler)
    : impl_(std::make_unique<Impl>(settings, handler)) {
  Impl& s = *impl_;
  // The files are checked before anything listens, so that a caller can retry without them.
  if (settings.tls) s.tls = LoadTlsContext(*settings.tls);
  s.Listen(s.plain, settings.httpPort);
  if (s.tls) s.Listen(s.secure, settings.httpsPort);
  s.Accept<PlainStream>(s.plain);
  if (s.tls) {
    s.httpsPort = s.secure.local_endpoint().port();
    s.Accept<TlsStream>(s.secure);
  }
}

bool GatewayServer::StartTls(const TlsFiles& files) {
  Impl& s = *impl_;
  std::unique_ptr<ssl::context> context = LoadTlsContext(files);
  std::promise<bool> opened;
  std::future<bool> result = opened.get_future();
  {
    std::lock_guard lock(s.closeMutex);
    if (s.closed) return false;
    // Runs on the poll thread, within Run or at the latest in CloseAll's last poll, so the
    // locals it refers to outlive it.
    asio::post(s.io, [&s, &opened, &context] {
      if (s.stopRequested.load() || s.tls) return opened.set_value(false);
      try {
        s.Listen(s.secure, s.settings.httpsPort);
      } catch (const ListenerError&) {
        beast::error_code ignored;
        s.secure.close(ignored);
        return opened.set_exception(std::current_exception());
      }
      s.tls = std::move(context);
      s.httpsPort = s.secure.local_endpoint().port();
      s.Accept<TlsStream>(s.secure);
      opened.set_value(true);
    });
  }
  return result.get();
}

GatewayServer::~GatewayServer() {
  if (impl_->plain.is_open()) impl_->CloseAll();
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
  return impl_->plain.local_endpoint().port();
}

uint16_t GatewayServer::HttpsPort() const {
  return impl_->httpsPort.load();
}

}  // namespace dralmin
