#pragma once

#include <stdexcept>

namespace dralmin {

// The scale's port could not be found, written or read; what() names the port and the reason.
class ComPortException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dralmin
