#pragma once

#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <chrono>

namespace dralmin {

// Concrete types throughout: the type-erased any_io_executor costs a copy and a destruction at
// every step of every operation, and the server has one io_context and one thread anyway.
using Executor = boost::asio::io_context::executor_type;
using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor>;
using Acceptor = boost::asio::basic_socket_acceptor<boost::asio::ip::tcp, Executor>;
using Timer = boost::asio::basic_waitable_timer<
    std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>, Executor>;

// How a listener claims its port. On POSIX, SO_REUSEADDR only lets it bind past connections still
// in TIME_WAIT. On Windows it would let any other program bind the same port and take connections
// meant for the agent, and make a port in use fail as "access denied"; exclusive use keeps the
// port the agent's alone (Windows' listeners are not held up by TIME_WAIT).
#ifdef _WIN32
using ListenerPortUse =
    boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
#else
using ListenerPortUse = boost::asio::socket_base::reuse_address;
#endif

}  // namespace dralmin
