#pragma once

#include <stdexcept>
#include <string>

namespace dralmin {

// A shared library loaded at run time; functions are taken by name.
class DynamicLibrary {
 public:
  // Throws DynamicLibraryError with the loader's message when the library cannot be loaded.
  explicit DynamicLibrary(const std::string& name);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The address of an exported symbol, or nullptr when the library has none of that name.
  void* Symbol(const char* name) const;

  // The symbol as a function of the given type, or nullptr.
  template <typename Function>
  Function* Get(const char* name) const {
    return reinterpret_cast<Function*>(Symbol(name));
  }

 private:
  void* handle_;
};

class DynamicLibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dralmin
