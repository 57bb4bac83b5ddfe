// The certificate server's "last" answer: the version that names the files to fetch and keep.
#include "fuzz/FuzzInput.h"
#include "gateway/CertStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin::fuzz;
  const std::string version = dralmin::CertStore::CleanVersion(AsText(data, size));
  if (version.empty()) return 0;
  // The version becomes part of file names in the data folder and of the download URLs.
  Require(version.size() <= 127, "a version fits the stored value");
  Require(version.front() != '.', "a version cannot name a hidden file or a parent folder");
  for (const char c : version) {
    const bool token = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    Require(token, "a version holds only file-name characters");
  }
  return 0;
}
