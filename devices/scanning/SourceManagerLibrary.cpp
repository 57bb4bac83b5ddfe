#include "devices/scanning/SourceManagerLibrary.h"

#include "platform/DynamicLibrary.h"

#include <type_traits>
#include <utility>

namespace dralmin {

DlopenSourceManagerLibrary::DlopenSourceManagerLibrary(std::string name) : name_(std::move(name)) {}

DlopenSourceManagerLibrary::~DlopenSourceManagerLibrary() = default;

DSMENTRYPROC DlopenSourceManagerLibrary::Load() {
  library_.reset();
  try {
    auto library = std::make_unique<DynamicLibrary>(name_);
#ifdef _WIN32
    // The Windows manager's entry point is its first export, whatever name it carries.
    auto entry = library->GetAt<std::remove_pointer_t<DSMENTRYPROC>>(1);
    if (entry == nullptr) {
      error_ = name_ + " has no export at ordinal 1";
      return nullptr;
    }
#else
    auto entry = library->Get<std::remove_pointer_t<DSMENTRYPROC>>("DSM_Entry");
    if (entry == nullptr) {
      error_ = name_ + " exports no DSM_Entry";
      return nullptr;
    }
#endif
    library_ = std::move(library);
    error_.clear();
    return entry;
  } catch (const DynamicLibraryError& e) {
    error_ = e.what();
    return nullptr;
  }
}

void DlopenSourceManagerLibrary::Unload() {
  library_.reset();
}

}  // namespace dralmin
