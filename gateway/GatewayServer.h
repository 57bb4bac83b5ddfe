#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "replies/Request.h"

namespace dralmin {
class PortsReport;
}

namespace dralmin {

// PEM files of the HTTPS listener: the certificate (with its chain) and the private key.
struct TlsFiles {
  std::string certificateChain;
  std::string privateKey;
};

struct GatewaySettings {
  std::string listenAddress = "127.0.0.1";
  uint16_t httpPort = 8081;  // 0 picks a free port (tests)
  uint16_t httpsPort = 8433;
  std::optional<TlsFiles> tls;  // no HTTPS listener without it
  std::chrono::seconds handshakeTimeout{10};
  std::size_t headerLimit = 16 * 1024;            // a longer head is answered 431
  std::uint64_t bodyLimit = 64ull * 1024 * 1024;  // a longer body is answered 413
  // What the bodies of all connections may hold at once; a body past it is answered 503.
  std::uint64_t bodyBudget = 96ull * 1024 * 1024;
  // Connections past this many are answered 503 and closed.
  std::size_t maxConnections = 1024;
  std::chrono::seconds idleTimeout{60};
  // Several users' agents on the same ports: the port broker, or the agent holding them, passes
  // each connection to the agent of the user at its other end. Off: a port held by another is a
  // ListenerError.
  bool sharedPorts = false;
  std::string brokerSocket;  // the port broker's rendezvous; empty: none is looked for
  // Who holds the ports, for the status page; may be null.
  std::shared_ptr<PortsReport> portsReport;
};

// Raised by the constructor when a listener cannot be created: "cannot listen on
// 127.0.0.1:8081: Address already in use".
class ListenerError : public std::runtime_error {
 public:
  ListenerError(const std::string& address, uint16_t port, const std::string& reason)
      : std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                           reason) {}
};

// Raised by the constructor, before any listener exists, when the TLS files do not load.
class CertificateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The local web server. Constructed, run and destroyed on one thread (the poll thread); every
// request is handed to the handler there, one at a time, and its reply written back unchanged.
// Connections stay open between requests until the peer closes them or they idle out.
class GatewayServer {
 public:
  GatewayServer(const GatewaySettings& settings, RequestHandler& handler);
  ~GatewayServer();
  GatewayServer(const GatewayServer&) = delete;
  GatewayServer& operator=(const GatewayServer&) = delete;

  // Polls in slices of 1000 ms until Stop; then closes the listener and every connection.
  void Run();

  // From any thread: Run returns promptly, within the request being served if there is one.
  void Stop();

  // From any thread but the poll thread, while Run is in progress (or before it, on a server that
  // will run): adds the HTTPS listener with `files` on the configured port. The files are loaded
  // on the calling thread (CertificateError), the listener opened on the poll thread
  // (ListenerError). False when a stop came first or HTTPS is already served.
  bool StartTls(const TlsFiles& files);

  uint16_t HttpPort() const;
  uint16_t HttpsPort() const;  // 0 without an HTTPS listener; from any thread

  static constexpr std::chrono::milliseconds kPollInterval{1000};

 private:
  struct Impl;
  static void ReportOwnListeners(Impl& s);
  std::unique_ptr<Impl> impl_;
};

}  // namespace dralmin
