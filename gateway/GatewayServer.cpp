#include "gateway/GatewayServer.h"

#include <algorithm>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "gateway/Listeners.h"
#include "gateway/PortSharing.h"
#include "gateway/RequestReader.h"
#include "gateway/Sockets.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

using PlainStream = Socket;
using TlsStream = ssl::stream<Socket>;

// Live connections, so that a stop can close them; touched on the poll thread only.
class ConnectionBase {
 public:
  virtual ~ConnectionBase() = default;
  virtual void Close() = 0;
};
using ConnectionSet = std::unordered_set<ConnectionBase*>;

// A peer that leaves, resets its connection or lets it idle out, and our own close at a stop
// or a time-out (which aborts the operation in progress), are how connections end; anything
// else is a failure worth a line.
bool IsOrdinaryEnd(beast::error_code ec) {
  return ec == http::error::end_of_stream || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::broken_pipe ||
         ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor ||
         ec == ssl::error::stream_truncated;
}

// Buffers grown beyond this by one large request or reply are given back after it.
constexpr std::size_t kKeptCapacity = 64 * 1024;

// After a refusal the peer may still be sending what it announced; closing on unread bytes would
// reset the connection, and the reset can destroy the refusal before the peer reads it. So the
// rest is read and dropped, up to this much for this long.
constexpr std::uint64_t kDrainLimit = 4 * 1024 * 1024;
constexpr std::chrono::seconds kDrainTime{2};
// Refused connections hold descriptors while they drain. Past this many beyond the cap (an
// eighth of a small cap, at least one), a new one is closed at once, without its 503, so that the
// descriptors left beside the cap stay free.
constexpr std::size_t kRefusingAtOnce = 64;

// Replies for requests that are not taken; each closes its connection.
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kContentTooLarge =
    "HTTP/1.1 413 Content Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kHeaderTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: "
    "0\r\n\r\n";
constexpr std::string_view kNotImplemented =
    "HTTP/1.1 501 Not Implemented\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view kUnavailable =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nRetry-After: 1\r\n"
    "Content-Length: 0\r\n\r\n";

// What is shared by the connections of one server, on its poll thread.
struct ConnectionLimits {
  explicit ConnectionLimits(const GatewaySettings& settings) : bodies(settings.bodyBudget) {}
  BodyBudget bodies;
  bool saidFull = false;  // the connection limit was reported and has not been left since
  // How many connections are open, for the holder of shared ports, which accepts on a thread of
  // its own and must not take more than the connections can hold.
  std::atomic<std::size_t> open{0};
};

// The connections the server holds at most, refused ones draining included.
std::size_t MostConnections(const GatewaySettings& settings) {
  return settings.maxConnections +
         std::clamp<std::size_t>(settings.maxConnections / 8, 1, kRefusingAtOnce);
}

// One client connection: read a request, hand it over, write the reply, and again. Every error
// of a connection (time-out, malformed or oversized request, failed handshake, peer gone) closes
// that connection and nothing else, and is judged in Fail.
//
// The time-outs are one deadline per connection, moved forward with a clock read as each request
// begins; the connection's timer is set once and, when it fires early, set again for the deadline
// it finds, so that a busy connection costs no timer work per request.
template <typename Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  template <typename... StreamArgs>
  Connection(const GatewaySettings& settings, RequestHandler& handler, ConnectionSet& live,
             ConnectionLimits& limits, Socket socket, StreamArgs&&... streamArgs)
      : stream_(std::move(socket), std::forward<StreamArgs>(streamArgs)...),
        timer_(stream_.get_executor()),
        settings_(settings),
        handler_(handler),
        live_(live),
        limits_(limits),
        reader_(&limits.bodies) {
    live_.insert(this);
    limits_.open.store(live_.size(), std::memory_order_relaxed);
  }
  ~Connection() override {
    live_.erase(this);
    limits_.open.store(live_.size(), std::memory_order_relaxed);
    if (limits_.saidFull && live_.size() < settings_.maxConnections) limits_.saidFull = false;
  }

  void Start() {
    beast::error_code ignored;
    const tcp::endpoint remote = Lowest().remote_endpoint(ignored);
    peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
    if (live_.size() > settings_.maxConnections) {
      // Said once until the crowd thins, as each refused peer can come straight back.
      if (!limits_.saidFull) {
        limits_.saidFull = true;
        LogWarning("gateway", "connection from " + peer_ +
                                  " refused with 503: " + std::to_string(settings_.maxConnections) +
                                  " connections are open; further ones are refused until "
                                  "fewer are");
      }
      Lowest().non_blocking(true, ignored);
      // Over TLS the refusal would need a handshake first: such a peer is simply closed.
      if constexpr (std::is_same_v<Stream, TlsStream>) {
        return Close();
      } else {
        if (live_.size() > MostConnections(settings_)) return Close();
        StartTimer(kDrainTime);
        return Refuse(kUnavailable, {});
      }
    }
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      // A client that stalls in the handshake holds its own connection only, and not for long.
      StartTimer(settings_.handshakeTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code ec) {
                                if (ec) return self->Fail(ec, "TLS handshake");
                                self->NextRequest();
                                self->SetDeadline(self->settings_.idleTimeout);
                                self->Advance();
                              });
    } else {
      // Replies are first written straight away, which needs a socket that never blocks.
      Lowest().non_blocking(true, ignored);
      StartTimer(settings_.idleTimeout);
      NextRequest();
      Advance();
    }
  }

  void Close() override {
    closed_ = true;
    beast::error_code ignored;
    Lowest().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close(ignored);
    timer_.cancel();
  }

 private:
  void Fail(beast::error_code ec, std::string_view what) {
    if (!IsOrdinaryEnd(ec)) {
      LogWarning("gateway", "connection from " + peer_ + " closed: " + std::string(what) + ": " +
                                ec.message());
    }
    Close();
  }

  Socket& Lowest() { return beast::get_lowest_layer(stream_); }

  void StartTimer(std::chrono::seconds timeout) {
    deadline_ = std::chrono::steady_clock::now() + timeout;
    timer_.expires_at(deadline_);
    timer_.async_wait(
        [self = this->shared_from_this()](beast::error_code ec) { self->OnTimer(ec); });
  }

  // The whole of a request, from its first byte on, and then the whole of its reply must come
  // within the time-out.
  void SetDeadline(std::chrono::seconds timeout) {
    deadline_ = std::chrono::steady_clock::now() + timeout;
    // Only a shorter time-out than the one the timer waits for (the handshake's) needs it now.
    if (deadline_ < timer_.expiry()) {
      timer_.expires_at(deadline_);
      timer_.async_wait(
          [self = this->shared_from_this()](beast::error_code ec) { self->OnTimer(ec); });
    }
  }

  void OnTimer(beast::error_code ec) {
    // Cancelled: closed, or set again for a nearer deadline with another wait already pending.
    if (ec || closed_) return;
    if (std::chrono::steady_clock::now() >= deadline_) return Close();
    timer_.expires_at(deadline_);
    timer_.async_wait(
        [self = this->shared_from_this()](beast::error_code error) { self->OnTimer(error); });
  }

  // Answers a request that is not taken with `reply`, says why (unless `why` is empty) and closes
  // the connection once the peer has had the reply.
  void Refuse(std::string_view reply, const std::string& why) {
    if (!why.empty()) {
      const std::string_view status = reply.substr(9, reply.find('\r') - 9);
      LogWarning("gateway",
                 "connection from " + peer_ + " refused with " + std::string(status) + ": " + why);
    }
    reply_.assign(reply);
    keepAlive_ = false;
    SetDeadline(kDrainTime);
    asio::async_write(stream_, asio::buffer(reply_),
                      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec) return self->Fail(ec, "writing the reply");
                        self->Drain();
                      });
  }

  // The status and the reason for a request the parser gave up on.
  void RefuseUnparsed(beast::error_code ec) {
    const std::string part = headerSeen_ ? "request body" : "request head";
    if (ec == http::error::header_limit) {
      return Refuse(kHeaderTooLarge, "the request head is longer than " +
                                         std::to_string(settings_.headerLimit) + " bytes");
    }
    if (ec == http::error::body_limit && reader_.OverBudget()) {
      return Refuse(kUnavailable, "the request bodies of all connections would pass " +
                                      std::to_string(limits_.bodies.limit()) + " bytes");
    }
    if (ec == http::error::body_limit) {
      // The length was judged with the head, whose origin may refuse it first.
      if (!headerSeen_ && !handler_.AdmitsHead(reader_.View(), reply_)) return Forbid();
      return Refuse(kContentTooLarge, "the request body is longer than " +
                                          std::to_string(settings_.bodyLimit) + " bytes");
    }
    if (reader_.UnsupportedCoding()) {
      return Refuse(kNotImplemented, "a Transfer-Encoding other than chunked");
    }
    Refuse(kBadRequest, part + ": " + ec.message());
  }

  // Reads and drops what the peer still sends after a refusal, then closes.
  void Drain() {
    beast::error_code ignored;
    Lowest().shutdown(tcp::socket::shutdown_send, ignored);
    SetDeadline(kDrainTime);
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(65536),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->drained_ += n;
                              if (ec || self->closed_ || self->drained_ > kDrainLimit) {
                                return self->Close();
                              }
                              self->Drain();
                            });
  }

  void NextRequest() {
    reader_.Restart(static_cast<std::uint32_t>(settings_.headerLimit), settings_.bodyLimit);
    // The header is parsed on its own first, to answer "Expect: 100-continue" before the body.
    reader_.eager(false);
    headerSeen_ = false;
  }

  // Parses what has arrived and acts on it, request after request, until the connection has to
  // wait for the peer; a loop rather than a chain of calls, so that a peer sending many requests
  // at once does not deepen the stack.
  void Advance() {
    for (;;) {
      if (!headerSeen_ && reader_.is_header_done()) {
        headerSeen_ = true;
        // Decided before any of the body is read, so that a refused page costs nothing more.
        if (!handler_.AdmitsHead(reader_.View(), reply_)) {
          if (!reader_.is_done()) return Forbid();
          keepAlive_ = reader_.KeepAlive();
          if (!Send()) return;
          continue;
        }
        if (!reader_.ReserveBody()) return RefuseUnparsed(http::error::body_limit);
        if (reader_.ExpectsContinue()) {
          // Clients such as curl otherwise hold a larger body back for a second.
          static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
          asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->Fail(ec, "writing 100 Continue");
                              self->Advance();
                            });
          return;
        }
        reader_.eager(true);
      }
      if (reader_.is_done()) {
        if (!Answer()) return;
        continue;
      }
      beast::error_code ec = http::error::need_more;
      if (buffer_.size() != 0) buffer_.consume(reader_.put(buffer_.data(), ec));
      if (ec == http::error::need_more) return ReadSome();
      if (ec) return RefuseUnparsed(ec);
    }
  }

  // Sends the handler's refusal of a request whose body is still to come, and ends the
  // connection, as that body is never read. (A refused request without a body keeps it.)
  void Forbid() {
    const std::string refusal = std::move(reply_);
    const std::size_t lineEnd = refusal.find("\r\n") + 2;
    Refuse(refusal.substr(0, lineEnd) + "Connection: close\r\n" + refusal.substr(lineEnd), {});
  }

  void ReadSome() {
    // As Beast reads: into the free room of the buffer, at least 512 and at most 64 kB. The
    // buffer grows only as far as a read fills it, so a large body gets room for what is left of
    // it, or it would come in 512-byte reads, one round through the event loop each.
    std::size_t size = std::max<std::size_t>(512, buffer_.capacity() - buffer_.size());
    if (headerSeen_) {
      if (const auto left = reader_.content_length_remaining()) {
        size = std::max<std::size_t>(size, std::min<std::uint64_t>(*left, 65536));
      }
    }
    size = std::min<std::size_t>(size, 65536);
    stream_.async_read_some(buffer_.prepare(size),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->OnRead(ec, n);
                            });
  }

  void OnRead(beast::error_code ec, std::size_t bytes) {
    buffer_.commit(bytes);
    if (ec == asio::error::eof) {
      // Between requests the peer may leave; within one, the parser judges the cut.
      if (!reader_.got_some()) return Fail(http::error::end_of_stream, "request head");
      ec = {};
      reader_.put_eof(ec);
    }
    if (ec) return Fail(ec, headerSeen_ ? "request body" : "request head");
    Advance();
  }

  // Hands the complete request over and sends the reply. True when the reply is out and the
  // connection is ready for the next request; false when an operation is pending or the
  // connection ended.
  bool Answer() {
    handler_.HandleRequestInto(reader_.View(), reply_);
    keepAlive_ = reader_.KeepAlive();
    return Send();
  }

  // Sends reply_; as Answer.
  bool Send() {
    std::size_t written = 0;
    if constexpr (std::is_same_v<Stream, PlainStream>) {
      // The reply usually fits the socket's send buffer at once, which saves the event loop
      // a round.
      beast::error_code ec;
      written = stream_.write_some(asio::buffer(reply_), ec);
      if (ec && ec != asio::error::would_block) {
        Fail(ec, "writing the reply");
        return false;
      }
      if (written == reply_.size()) return Written();
    }
    SetDeadline(settings_.idleTimeout);
    asio::async_write(stream_, asio::buffer(reply_) + written,
                      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec) return self->Fail(ec, "writing the reply");
                        if (self->Written()) self->Advance();
                      });
    return false;
  }

  bool Written() {
    if (!keepAlive_) {
      Close();
      return false;
    }
    if (reply_.capacity() > kKeptCapacity) std::string().swap(reply_);
    if (buffer_.size() == 0 && buffer_.capacity() > kKeptCapacity) buffer_.shrink_to_fit();
    reader_.Trim(kKeptCapacity);
    NextRequest();
    SetDeadline(settings_.idleTimeout);
    return true;
  }

  Stream stream_;
  Timer timer_;
  std::chrono::steady_clock::time_point deadline_;
  const GatewaySettings& settings_;
  RequestHandler& handler_;
  ConnectionSet& live_;
  ConnectionLimits& limits_;
  beast::flat_buffer buffer_;
  RequestReader reader_;
  bool headerSeen_ = false;
  std::string reply_;
  bool keepAlive_ = true;
  std::uint64_t drained_ = 0;
  bool closed_ = false;
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
  // Read by the agent, not by the TLS library, so that a FIFO or device in their place never
  // blocks the start.
  const std::optional<std::string> chain = ReadFileWhole(files.certificateChain);
  const std::optional<std::string> key = chain ? ReadFileWhole(files.privateKey) : std::nullopt;
  if (!chain || !key) {
    throw CertificateError("cannot read " + (chain ? files.privateKey : files.certificateChain) +
                           ": " + std::generic_category().message(errno));
  }
  if (!ec) context->use_certificate_chain(asio::buffer(*chain), ec);
  if (!ec) context->use_private_key(asio::buffer(*key), ssl::context::pem, ec);
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
  Impl(const GatewaySettings& s, RequestHandler& h) : settings(s), handler(h), limits(settings) {}

  // Listens on every address of `port` and serves what comes; ListenerError when one cannot be
  // opened.
  void Listen(uint16_t port, SharedPort kind) {
    for (Acceptor& acceptor : OpenListeners(io, settings.listenAddress, port)) {
      listeners.push_back(std::make_unique<Listener>(
          std::move(acceptor), kind,
          [this](Socket socket, SharedPort p) { Serve(std::move(socket), p); }));
    }
    (kind == SharedPort::kSecure ? httpsPort : httpPort) =
        listeners.back()->acceptor().local_endpoint().port();
  }

  void Serve(Socket socket, PortSharing::Port port) {
    beast::error_code ignored;
    // Without it a fresh connection's first reply waits on Nagle and delayed ACK (~40 ms).
    socket.set_option(tcp::no_delay(true), ignored);
    if (port == PortSharing::Port::kPlain) {
      std::make_shared<Connection<PlainStream>>(settings, handler, live, limits, std::move(socket))
          ->Start();
    } else if (tls) {
      std::make_shared<Connection<TlsStream>>(settings, handler, live, limits, std::move(socket),
                                              *tls)
          ->Start();
    } else {
      // Passed on from the ports' holder before this agent has its certificate.
      LogWarning("gateway",
                 "an HTTPS connection handed over was closed: no certificate loaded yet");
    }
  }

  void CloseAll() {
    {
      std::lock_guard lock(closeMutex);
      closed = true;
    }
    for (auto& listener : listeners) listener->Close();
    if (sharing) sharing->Close();
    for (ConnectionBase* connection : ConnectionSet(live)) connection->Close();
    // Let the aborted handlers run so that every connection is released here, on this thread.
    io.restart();
    io.poll();
  }

  GatewaySettings settings;
  RequestHandler& handler;
  std::unique_ptr<ssl::context> tls;
  ConnectionLimits limits;
  ConnectionSet live;  // before io: connections still held by handlers deregister as io goes
  asio::io_context io{1};
  std::vector<std::unique_ptr<Listener>> listeners;
  std::unique_ptr<PortSharing> sharing;  // after io's objects: it holds some of its own
  std::atomic<bool> stopRequested{false};
  std::atomic<uint16_t> httpPort{0};
  std::atomic<uint16_t> httpsPort{0};
  // Set by CloseAll before its last poll: a handler posted later would never run.
  std::mutex closeMutex;
  bool closed = false;
};

GatewayServer::GatewayServer(const GatewaySettings& settings, RequestHandler& handler)
    : impl_(std::make_unique<Impl>(settings, handler)) {
  Impl& s = *impl_;
  // The files are checked before anything listens, so that a caller can retry without them.
  if (settings.tls) s.tls = LoadTlsContext(*settings.tls);
  if (settings.sharedPorts && PortSharing::Supported()) {
    SharingSettings sharing;
    sharing.listenAddress = settings.listenAddress;
    sharing.httpPort = settings.httpPort;
    sharing.httpsPort = settings.httpsPort;
    sharing.brokerSocket = settings.brokerSocket;
    sharing.report = settings.portsReport.get();
    sharing.connectionsOpen = &s.limits.open;
    sharing.mostConnections = MostConnections(settings);
    s.sharing = std::make_unique<PortSharing>(
        s.io, sharing,
        [&s](Socket socket, PortSharing::Port port) { s.Serve(std::move(socket), port); });
    if (s.tls) s.sharing->ServeSecure();
    s.httpPort = settings.httpPort;
    if (s.tls) s.httpsPort = settings.httpsPort;
    return;
  }
  s.Listen(settings.httpPort, SharedPort::kPlain);
  if (s.tls) s.Listen(settings.httpsPort, SharedPort::kSecure);
  ReportOwnListeners(s);
}

void GatewayServer::ReportOwnListeners(Impl& s) {
  if (s.settings.portsReport) s.settings.portsReport->Set(HeldPorts(s.listeners));
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
        if (s.sharing) {
          s.sharing->ServeSecure();
          s.httpsPort = s.settings.httpsPort;
        } else {
          // What it accepts is served after this handler, which sets the certificate first.
          s.Listen(s.settings.httpsPort, SharedPort::kSecure);
        }
      } catch (const ListenerError&) {
        return opened.set_exception(std::current_exception());
      }
      s.tls = std::move(context);
      if (!s.sharing) ReportOwnListeners(s);
      opened.set_value(true);
    });
  }
  return result.get();
}

GatewayServer::~GatewayServer() {
  bool closed;
  {
    std::lock_guard lock(impl_->closeMutex);
    closed = impl_->closed;
  }
  if (!closed) impl_->CloseAll();
}

void GatewayServer::Run() {
  Impl& s = *impl_;
  // Connections may come only from another thread (the ports' holder hands them over): without
  // work of its own the loop must still wait for them rather than return at once.
  auto waiting = asio::make_work_guard(s.io);
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
  return impl_->httpPort.load();
}

uint16_t GatewayServer::HttpsPort() const {
  return impl_->httpsPort.load();
}

}  // namespace dralmin
