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


// A manager library opened with the system loader (its normal search for a bare name). `names`
// may list several, separated by commas: the first that loads is taken (the TWAIN 2 manager, then
// the older one, which a 64-bit process can load only where it is built for 64 bits).
class DlopenSourceManagerLibrary final : public SourceManagerLibrary {
 public:
  explicit DlopenSourceManagerLibrary(std::string names);
  ~DlopenSourceManagerLibrary() override;

  DSMENTRYPROC Load() override;
  void Unload() override;

  // Why the last Load failed (each name's reason), for developers; empty after a successful one.
  const std::string& error() const { return error_; }

 private:
  // Loads one library; nullptr, with the reason added to error_, when it or its entry is missing.
  DSMENTRYPROC LoadOne(const std::string& name);

  std::string names_;
  std::unique_ptr<DynamicLibrary> library_;
  std::string error_;
};

}  // namespace dralmin
