#pragma once

#include <stdexcept>

namespace dralmin {

// The scale did not answer as its protocol says (no ACK to ENQ, an answer too short to read);
// what() says which.
class WeighterException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dralmin
