#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dralmin {

// "/getscan/" + key + "/" + field name + "/" + upload address, as the page sends it.
struct ScanRequest {
  std::string key;
  std::string field;
  std::string address;
};

// Where a page's scans are posted: plain HTTP to host:port, path with any query.
struct UploadAddress {
  std::string host;
  std::string path;
  int port = 0;  // 0 stands for HTTP's default
};

// Splits the rest of a "/getscan/" path; the address is percent-decoded once more.
ScanRequest ParseScanRequest(std::string_view rest);

// "host[:port]/path" without a scheme; port 80 when none is given.
UploadAddress ParseUploadAddress(std::string_view address);

// 25 hyphens and the millisecond tick as a signed 32-bit number.
std::string UploadBoundary(int32_t tick);

// The multipart body of one page, byte for byte as receiving servers expect it: note the missing
// blank before "filename" and the final zero byte, which is part of the body.
std::string BuildUploadBody(std::string_view jpeg, std::string_view field,
                            std::string_view boundary);

// The URL the post goes to.
std::string UploadUrl(const UploadAddress& address);

// Milliseconds since the system started, as a signed 32-bit tick (it wraps after ~24.8 days).
int32_t SystemTick();

}  // namespace dralmin
