#include <dlfcn.h>

#include "platform/DynamicLibrary.h"

namespace dralmin {

DynamicLibrary::DynamicLibrary(const std::string& name)
    : handle_(dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ == nullptr) {
    const char* why = dlerror();
    throw DynamicLibraryError("cannot load " + name + ": " + (why != nullptr ? why : "unknown"));
  }
}

DynamicLibrary::~DynamicLibrary() {
  dlclose(handle_);
}

void* DynamicLibrary::Symbol(const char* name) const {
  return dlsym(handle_, name);
}

}  // namespace dralmin
