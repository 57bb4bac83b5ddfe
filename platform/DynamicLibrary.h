#pragma once

#include <stdexcept>
#include <string>

namespace dralmin {

// A shared library loaded at run time; functions are taken by name (or, on Windows, by ordinal).
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

#ifdef _WIN32
  // The address of the function exported at `ordinal`, or nullptr. Some makers' libraries export
  // by ordinal only, with no names at all.
  void* SymbolAt(unsigned short ordinal) const;

  template <typename Function>
  Function* GetAt(unsigned short ordinal) const {
    return reinterpret_cast<Function*>(SymbolAt(ordinal));
  }
#endif

 private:
  void* handle_;
};

class DynamicLibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dralmin
