// What the shared reply reading of Helpers.h needs from each platform's sockets.
#pragma once

#include <chrono>
#include <cstddef>

namespace dralmin::test::detail {

// Waits for the socket to become readable; false on timeout or error.
bool Readable(int fd, std::chrono::milliseconds left);

// One recv into `buffer`: the bytes read, 0 when the peer closed, negative on error.
long ReceiveSome(int fd, char* buffer, std::size_t size);

}  // namespace dralmin::test::detail
