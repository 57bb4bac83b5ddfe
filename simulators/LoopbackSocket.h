#pragma once

// Loopback TCP sockets for the simulators and the peers that tests play: the same calls on every
// system (LoopbackSocket_posix.cpp, LoopbackSocket_win.cpp). A socket is an int; -1 is none.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dralmin::loopback {

// A socket listening on 127.0.0.1 (::1 with `ipv6`) at `port`, 0 for a free one; -1, with
// `error` saying why, when it cannot.
int Listen(std::uint16_t port, bool ipv6 = false, std::string* error = nullptr);

// The port a socket is bound to; 0 when it has none.
std::uint16_t PortOf(int socket);

// The next connection to a listening socket; -1 on error.
int Accept(int listener);

// A connection to 127.0.0.1:port that sends small writes at once; -1 when refused.
int Connect(std::uint16_t port);

// Waits until one of the sockets has something to read (a connection to accept, bytes, or the
// peer's close); its index, or -1 on timeout or error. A negative timeout waits without limit.
int WaitReadable(const std::vector<int>& sockets, std::chrono::milliseconds timeout);

// One receive: the bytes read, 0 when the peer closed, negative on error.
long Receive(int socket, char* buffer, std::size_t size);

// Sends all the bytes; false when the connection fails first.
bool SendAll(int socket, std::string_view bytes);

// Bytes that arrived and were not read yet.
std::size_t Unread(int socket);

// Closes the socket (none: nothing); with `reset`, by a reset instead of an orderly close.
void Close(int socket, bool reset = false);

// Accepts connections to a port on 127.0.0.1 on a thread of its own and hands each to `serve`,
// one at a time, closing it afterwards. Stops on destruction, once `serve` has returned.
class Server {
 public:
  // Throws std::runtime_error when it cannot listen on `port` (0: a free one).
  explicit Server(std::function<void(int connection)> serve, std::uint16_t port = 0);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void Run();

  std::function<void(int)> serve_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace dralmin::loopback
