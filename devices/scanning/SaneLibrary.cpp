#include "devices/scanning/SaneLibrary.h"

#include "platform/DynamicLibrary.h"

namespace dralmin {
namespace {

class DlopenSaneLibrary final : public SaneLibrary {
 public:
  explicit DlopenSaneLibrary(std::unique_ptr<DynamicLibrary> library)
      : library_(std::move(library)) {}

  // False when the library lacks one of the calls.
  bool Bind() {
    return Take(init_, "sane_init") && Take(exit_, "sane_exit") &&
           Take(getDevices_, "sane_get_devices") && Take(open_, "sane_open") &&
           Take(close_, "sane_close") && Take(descriptor_, "sane_get_option_descriptor") &&
           Take(control_, "sane_control_option") && Take(parameters_, "sane_get_parameters") &&
           Take(start_, "sane_start") && Take(read_, "sane_read") && Take(cancel_, "sane_cancel") &&
           Take(strstatus_, "sane_strstatus");
  }
  const std::string& missing() const { return missing_; }

  SANE_Status init() override {
    SANE_Int version = 0;
    return init_(&version, nullptr);
  }
  void exit() override { exit_(); }
  SANE_Status get_devices(const SANE_Device*** list, SANE_Bool localOnly) override {
    return getDevices_(list, localOnly);
  }
  SANE_Status open(const char* name, SANE_Handle* handle) override { return open_(name, handle); }
  void close(SANE_Handle handle) override { close_(handle); }
  const SANE_Option_Descriptor* get_option_descriptor(SANE_Handle handle, SANE_Int n) override {
    return descriptor_(handle, n);
  }
  SANE_Status control_option(SANE_Handle handle, SANE_Int n, SANE_Action action, void* value,
                             SANE_Int* info) override {
    return control_(handle, n, action, value, info);
  }
  SANE_Status get_parameters(SANE_Handle handle, SANE_Parameters* parameters) override {
    return parameters_(handle, parameters);
  }
  SANE_Status start(SANE_Handle handle) override { return start_(handle); }
  SANE_Status read(SANE_Handle handle, SANE_Byte* data, SANE_Int max, SANE_Int* length) override {
    return read_(handle, data, max, length);
  }
  void cancel(SANE_Handle handle) override { cancel_(handle); }
  const char* strstatus(SANE_Status status) override { return strstatus_(status); }

 private:
  template <typename Function>
  bool Take(Function*& slot, const char* name) {
    slot = library_->Get<Function>(name);
    if (slot == nullptr) missing_ = name;
    return slot != nullptr;
  }

  std::unique_ptr<DynamicLibrary> library_;
  std::string missing_;
  decltype(&::sane_init) init_ = nullptr;
  decltype(&::sane_exit) exit_ = nullptr;
  decltype(&::sane_get_devices) getDevices_ = nullptr;
  decltype(&::sane_open) open_ = nullptr;
  decltype(&::sane_close) close_ = nullptr;
  decltype(&::sane_get_option_descriptor) descriptor_ = nullptr;
  decltype(&::sane_control_option) control_ = nullptr;
  decltype(&::sane_get_parameters) parameters_ = nullptr;
  decltype(&::sane_start) start_ = nullptr;
  decltype(&::sane_read) read_ = nullptr;
  decltype(&::sane_cancel) cancel_ = nullptr;
  decltype(&::sane_strstatus) strstatus_ = nullptr;
};

}  // namespace

std::unique_ptr<SaneLibrary> LoadSaneLibrary(const std::string& name, std::string& error) {
  try {
    auto library = std::make_unique<DlopenSaneLibrary>(std::make_unique<DynamicLibrary>(name));
    if (!library->Bind()) {
      error = name + " exports no " + library->missing();
      return nullptr;
    }
    return library;
  } catch (const DynamicLibraryError& e) {
    error = e.what();
    return nullptr;
  }
}

}  // namespace dralmin
