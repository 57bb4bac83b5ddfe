#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dralmin {

// Passing an accepted connection from one process to another over a local stream socket, with
// one tag byte that says which port accepted it, and what the kernel says of a local peer.

// Who is at the other end of a local stream socket, as the kernel recorded it at connect time.
struct LocalPeer {
  std::uint32_t user = 0;
  std::uint32_t process = 0;
};
std::optional<LocalPeer> PeerOfLocalSocket(int socket);

enum class PassResult { kSent, kFull, kGone };
// Sends `connection` with `tag` over `channel` without waiting: kFull when the receiver has not
// taken what was sent before (its queue is full), kGone when the receiver has left or the
// channel failed; `why` then says so.
PassResult PassConnection(int channel, int connection, char tag, std::string& why);

// A connection received: its descriptor (close-on-exec) and tag.
struct PassedConnection {
  int connection = -1;
  char tag = 0;
};
enum class ReceiveResult { kReceived, kNothing, kEnded, kMalformed };
// Takes the next passed connection from `channel` without waiting: kNothing when none is there
// yet, kEnded when the sender has left (or the channel failed), kMalformed when a message came
// without exactly one descriptor and one byte (any descriptors it carried are closed).
ReceiveResult ReceiveConnection(int channel, PassedConnection& received);

}  // namespace dralmin
