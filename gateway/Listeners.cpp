#include "gateway/Listeners.h"

#include "gateway/GatewayServer.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// The same words on every system for what commonly stops a listener: Windows' own texts differ
// by language and Wine has none for socket errors.
std::string ListenFailureReason(const error_code& ec) {
  if (ec == asio::error::address_in_use) return "Address already in use";
  if (ec == asio::error::access_denied) return "Permission denied";
  if (ec == boost::system::errc::address_not_available) return "this machine has no such address";
  return ec.message();
}

bool IsNoIpv6(const error_code& ec) {
  return ec == boost::system::errc::address_not_available ||
         ec == boost::system::errc::address_family_not_supported;
}

// nullopt only when `unlessTaken` and the port is in use on `address`.
std::optional<std::vector<Acceptor>> Open(asio::io_context& io, const std::string& address,
                                          std::uint16_t port, bool unlessTaken) {
  std::vector<std::string> addresses{address};
  if (address == "127.0.0.1" || address == "0.0.0.0") addresses.push_back("::1");
  std::vector<Acceptor> acceptors;
  for (const std::string& text : addresses) {
    error_code ec;
    const auto ip = asio::ip::make_address(text, ec);
    if (ec) throw ListenerError(text, port, "not an IP address");
    Acceptor acceptor(io);
    const tcp::endpoint endpoint(ip, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(ListenerPortUse(true), ec);
    if (!ec && ip.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec && text != address && IsNoIpv6(ec)) continue;
    if (ec && unlessTaken && text == address && ec == asio::error::address_in_use) {
      return std::nullopt;
    }
    if (ec) throw ListenerError(text, port, ListenFailureReason(ec));
    if (port == 0) port = acceptor.local_endpoint().port();
    acceptors.push_back(std::move(acceptor));
  }
  return acceptors;
}

}  // namespace

std::vector<Acceptor> OpenListeners(asio::io_context& io, const std::string& address,
                                    std::uint16_t port) {
  return *Open(io, address, port, false);
}

std::optional<std::vector<Acceptor>> OpenListenersUnlessTaken(asio::io_context& io,
                                                              const std::string& address,
                                                              std::uint16_t port) {
  return Open(io, address, port, true);
}

Listener::Listener(Acceptor acceptor, SharedPort port, Serve serve, AcceptOne accept)
    : acceptor_(std::move(acceptor)),
      retry_(acceptor_.get_executor()),
      port_(port),
      serve_(std::move(serve)),
      accept_(std::move(accept)) {
  Accept();
}

void Listener::Accept() {
  if (accept_) {
    return accept_(acceptor_, [this](error_code ec, std::optional<Socket> socket) {
      Done(ec, std::move(socket));
    });
  }
  acceptor_.async_accept([this](error_code ec, Socket socket) {
    Done(ec, ec ? std::nullopt : std::optional<Socket>(std::move(socket)));
  });
}

void Listener::Done(error_code ec, std::optional<Socket> socket) {
  if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec) {
    // Out of descriptors or memory: the connection stays in the backlog, so accepting again at
    // once would fail at once and spin this thread. Open connections are served meanwhile.
    retry_.expires_after(kAcceptRetry);
    retry_.async_wait([this](error_code timerError) {
      if (!timerError) Accept();
    });
    return;
  }
  if (socket) serve_(std::move(*socket), port_);
  Accept();
}

void Listener::Close() {
  error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
}

PortsView HeldPorts(const std::vector<std::unique_ptr<Listener>>& listeners) {
  PortsView view;
  view.holder = PortsView::Holder::kThisAgent;
  for (const auto& listener : listeners) {
    std::string held = HeldAt(listener->acceptor());
    if (!held.empty()) {
      (listener->port() == SharedPort::kSecure ? view.secure : view.plain).push_back(held);
    }
  }
  return view;
}

std::string HeldAt(const Acceptor& acceptor) {
  error_code ec;
  const auto local = acceptor.local_endpoint(ec);
  if (ec) return {};
  const std::string address = local.address().to_string();
  return (local.address().is_v6() ? "[" + address + "]" : address) + ":" +
         std::to_string(local.port());
}

}  // namespace dralmin
