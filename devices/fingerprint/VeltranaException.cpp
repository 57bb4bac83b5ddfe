#include "devices/fingerprint/VeltranaException.h"

namespace dralmin {

VeltranaException::VeltranaException(int32_t code, std::string step)
    : std::runtime_error(step + ". Code: " + std::to_string(code)),
      code_(code),
      step_(std::move(step)) {}

}  // namespace dralmin
