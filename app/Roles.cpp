#include "app/Roles.h"

namespace dralmin {

bool IsAgentRun(int argc, const char* const* argv) {
  return argc >= 2 && argv[argc - 1] != nullptr && std::string_view(argv[argc - 1]) == kRunMarker;
}

}  // namespace dralmin
