#include "gateway/PortSharing.h"

#include <system_error>

namespace dralmin {

// Connections are not passed between sessions' agents here yet: the first agent listens alone.
bool PortSharing::Supported() {
  return false;
}

struct PortSharing::Impl {};

PortSharing::PortSharing(boost::asio::io_context&, std::uint16_t, std::uint16_t, Serve) {
  throw std::system_error(std::make_error_code(std::errc::not_supported), "shared ports");
}

PortSharing::~PortSharing() = default;

bool PortSharing::KeepOrPass(Socket&, Port) {
  return true;
}

void PortSharing::Close() {}

}  // namespace dralmin
