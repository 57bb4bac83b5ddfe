#include "devices/scanning/SourceManagerLibrary.h"

#include "platform/DynamicLibrary.h"

#include <string_view>
#include <type_traits>
#include <utility>

namespace dralmin {

DlopenSourceManagerLibrary::DlopenSourceManagerLibrary(std::string names)
    : names_(std::move(names)) {}

DlopenSourceManagerLibrary::~DlopenSourceManagerLibrary() = default;

DSMENTRYPROC DlopenSourceManagerLibrary::Load() {
  library_.reset();
  error_.clear();
  std::string_view rest = names_;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name.empty()) continue;
    if (DSMENTRYPROC entry = LoadOne(std::string(name))) {
      error_.clear();
      return entry;
    }
  }
  if (error_.empty()) error_ = "no manager library named";
  return nullptr;
}

DSMENTRYPROC DlopenSourceManagerLibrary::LoadOne(const std::string& name) {
  const auto failed = [this](const std::string& why) {
    error_ += (error_.empty() ? "" : "; ") + why;
    return nullptr;
  };
  try {
    auto library = std::make_unique<DynamicLibrary>(name);
    using Entry = std::remove_pointer_t<DSMENTRYPROC>;
    auto entry = library->Get<Entry>("DSM_Entry");
#ifdef _WIN32
    // Some managers export their entry point by ordinal only, as their first export.
    if (entry == nullptr) entry = library->GetAt<Entry>(1);
    if (entry == nullptr) return failed(name + " exports no DSM_Entry and nothing at ordinal 1");
#else
    if (entry == nullptr) return failed(name + " exports no DSM_Entry");
#endif
    library_ = std::move(library);
    return entry;
  } catch (const DynamicLibraryError& e) {
    return failed(e.what());
  }
}

void DlopenSourceManagerLibrary::Unload() {
  library_.reset();
}

}  // namespace dralmin
