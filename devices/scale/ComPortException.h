#pragma once

namespace dralmin {

// The scale's port could not be found, written or read. Carries nothing: only its type is used.
class ComPortException {};

}  // namespace dralmin
