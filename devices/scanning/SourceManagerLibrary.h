#pragma once

#include <memory>
#include <string>

#include "devices/scanning/Twain.h"

namespace dralmin {

class DynamicLibrary;

// The data source manager's shared library, as the session loads and releases it.
class SourceManagerLibrary {
 public:
  virtual ~SourceManagerLibrary() = default;

  // Loads the library and returns its DSM_Entry; nullptr, with nothing left loaded, when the
  // library or the export is missing.
  virtual DSMENTRYPROC Load() = 0;

  // Releases the library; entry points taken from it must not be called afterwards.
  virtual void Unload() = 0;
};


// A manager library opened with the system loader (its normal search for a bare name).
class DlopenSourceManagerLibrary final : public SourceManagerLibrary {
 public:
  explicit DlopenSourceManagerLibrary(std::string name);
  ~DlopenSourceManagerLibrary() override;

  DSMENTRYPROC Load() override;
  void Unload() override;

  // Why the last Load failed, for developers; empty after a successful one.
  const std::string& error() const { return error_; }

 private:
  std::string name_;
  std::unique_ptr<DynamicLibrary> library_;
  std::string error_;
};

}  // namespace dralmin
