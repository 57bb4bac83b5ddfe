#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dralmin {

// A failed step of the fingerprint SDK. what() is the text the page sees: the step, ". Code: "
// and the code in decimal, e.g. "Scanner not found. Code: 1".
class VeltranaException : public std::runtime_error {
 public:
  VeltranaException(int32_t code, std::string step);

  int32_t code() const { return code_; }
  const std::string& step() const { return step_; }

 private:
  int32_t code_;
  std::string step_;
};

}  // namespace dralmin
