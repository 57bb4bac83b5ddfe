#include <windows.h>

#include "platform/DynamicLibrary.h"
#include "platform/WideText.h"

namespace dralmin {

DynamicLibrary::DynamicLibrary(const std::string& name)
    : handle_(LoadLibraryW(Widen(name).c_str())) {
  if (handle_ == nullptr) {
    throw DynamicLibraryError("cannot load " + name + ": " + SystemErrorText(GetLastError()));
  }
}

DynamicLibrary::~DynamicLibrary() {
  FreeLibrary(static_cast<HMODULE>(handle_));
}

void* DynamicLibrary::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void* DynamicLibrary::SymbolAt(unsigned short ordinal) const {
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(handle_), MAKEINTRESOURCEA(ordinal)));
}

}  // namespace dralmin
