#include "platform/DescriptorLimit.h"

namespace dralmin {

// Sockets and files are kernel handles, bounded only by memory; the C library's own table of
// descriptors is used for a file at a time.
std::size_t RaiseDescriptorLimit() {
  return kNoDescriptorLimit;
}

}  // namespace dralmin
