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
  std::string host;  // a name, an IPv4 address, or an IPv6 address in its brackets
  std::string path;
  int port = 0;  // 0 stands for HTTP's default
  // Why the address may not be used (it would reach another host than it seems to name); empty
  // when it may.
  std::string refusal;
};

// Splits the rest of a "/getscan/" path; the address is percent-decoded once more.
ScanRequest ParseScanRequest(std::string_view rest);

// "host[:port]/path" without a scheme; port 80 when none is given. The host may be an IPv6
// address in brackets ("[::1]:8080/path"); user info ("user@host") is refused.
UploadAddress ParseUploadAddress(std::string_view address);

// Why `field` cannot be a form field's name in the part's head (it would end the quoted name or
// add head lines); empty when it can.
std::string FieldNameRefusal(std::string_view field);

// 25 hyphens and the millisecond tick as a signed 32-bit number.
std::string UploadBoundary(int32_t tick);

// The multipart body of one page, byte for byte as receiving servers expect it: note the missing
// blank before "filename" and the final zero byte, which is part of the body.
std::string BuildUploadBody(std::string_view jpeg, std::string_view field,
                            std::string_view boundary);

// The address as the log may keep it: without its query, which often carries a page's token.
std::string AddressForLog(std::string_view address);

// The URL the post goes to.
std::string UploadUrl(const UploadAddress& address);

// Milliseconds since the system started, as a signed 32-bit tick (it wraps after ~24.8 days).
int32_t SystemTick();

}  // namespace dralmin
