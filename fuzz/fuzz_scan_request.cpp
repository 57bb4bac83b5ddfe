// The rest of a "/getscan/" path and the upload address the page names in it.
#include "devices/scanning/ScanUpload.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  const std::string_view rest = AsText(data, size);
  const ScanRequest request = ParseScanRequest(rest);
  Require(request.key.find('/') == std::string::npos, "the key ends at the first slash");
  Require(request.field.find('/') == std::string::npos, "the field ends at the next slash");

  for (const std::string_view address : {std::string_view(request.address), rest}) {
    const UploadAddress target = ParseUploadAddress(address);
    if (target.host.empty()) continue;
    Require(target.path.starts_with('/'), "the path starts at the first slash");
    Require(target.host.find('/') == std::string::npos, "the host holds no slash");
    const std::string url = UploadUrl(target);
    Require(url.starts_with("http://" + target.host), "the post goes to the named host");
  }
  return 0;
}
