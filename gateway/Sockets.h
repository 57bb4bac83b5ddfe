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

}  // namespace dralmin
