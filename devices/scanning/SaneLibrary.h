#pragma once

#include <sane/sane.h>

#include <memory>
#include <string>

namespace dralmin {

// The SANE calls the session makes, one method a function, so that tests can stand in for the
// library. Every call except cancel comes from the session's worker thread.
class SaneLibrary {
 public:
  virtual ~SaneLibrary() = default;
  virtual SANE_Status init() = 0;
  virtual void exit() = 0;
  virtual SANE_Status get_devices(const SANE_Device*** list, SANE_Bool localOnly) = 0;
  virtual SANE_Status open(const char* name, SANE_Handle* handle) = 0;
  virtual void close(SANE_Handle handle) = 0;
  virtual const SANE_Option_Descriptor* get_option_descriptor(SANE_Handle handle, SANE_Int n) = 0;
  virtual SANE_Status control_option(SANE_Handle handle, SANE_Int n, SANE_Action action,
                                     void* value, SANE_Int* info) = 0;
  virtual SANE_Status get_parameters(SANE_Handle handle, SANE_Parameters* parameters) = 0;
  virtual SANE_Status start(SANE_Handle handle) = 0;
  virtual SANE_Status read(SANE_Handle handle, SANE_Byte* data, SANE_Int max, SANE_Int* length) = 0;
  // The one call allowed from another thread, while the worker reads.
  virtual void cancel(SANE_Handle handle) = 0;
  virtual const char* strstatus(SANE_Status status) = 0;
};

// libsane.so.1 loaded at run time, so that the agent starts (and serves everything else) on a
// machine without it. Null, with `error` set, when the library or one of its calls is missing.
std::unique_ptr<SaneLibrary> LoadSaneLibrary(const std::string& name, std::string& error);

inline constexpr const char* kSaneLibraryName = "libsane.so.1";

}  // namespace dralmin
