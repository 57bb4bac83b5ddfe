#include "devices/scanning/ScanUpload.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "replies/PercentDecode.h"

namespace dralmin {

ScanRequest ParseScanRequest(std::string_view rest) {
  ScanRequest request;
  const auto first = rest.find('/');
  if (first == std::string_view::npos || first == 0) return request;
  request.key = rest.substr(0, first);
  const auto second = rest.find('/', first + 1);
  if (second == std::string_view::npos) {
    request.field = rest.substr(first + 1);
    request.address = PercentDecode(rest);
  } else {
    request.field = rest.substr(first + 1, second - first - 1);
    request.address = PercentDecode(rest.substr(second + 1));
  }
  return request;
}

UploadAddress ParseUploadAddress(std::string_view address) {
  UploadAddress result;
  const auto slash = address.find('/');
  if (slash == std::string_view::npos || slash == 0) return result;
  std::string_view host = address.substr(0, slash);
  result.path = address.substr(slash);
  result.port = 80;
  // The URL parser would take what comes before "@" as a user name and post to the host after it.
  if (host.find('@') != std::string_view::npos) {
    result.refusal = "user info (user@host) is not taken";
    return result;
  }
  std::string_view port;
  bool hasPort = false;
  if (host.front() == '[') {
    const auto close = host.find(']');
    const bool ipv6 = close != std::string_view::npos &&
                      host.substr(1, close - 1).find_first_not_of("0123456789abcdefABCDEF:.") ==
                          std::string_view::npos;
    const std::string_view after =
        close == std::string_view::npos ? std::string_view() : host.substr(close + 1);
    if (!ipv6 || close == 1 || (!after.empty() && after.front() != ':')) {
      result.refusal = "not an IPv6 address in brackets";
      return result;
    }
    hasPort = !after.empty();
    if (hasPort) port = after.substr(1);
    host = host.substr(0, close + 1);
  } else if (const auto colon = host.find(':', 1); colon != std::string_view::npos) {
    hasPort = true;
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  }
  if (hasPort) result.port = std::atoi(std::string(port).c_str());
  result.host = host;
  return result;
}

std::string FieldNameRefusal(std::string_view field) {
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    // A backslash would escape the closing quote for receivers that read quoted pairs.
    if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7F) {
      return "the field name may not hold quotes, backslashes or control characters";
    }
  }
  return {};
}

std::string UploadBoundary(int32_t tick) {
  char boundary[64];
  std::snprintf(boundary, sizeof boundary, "-------------------------%d", tick);
  return boundary;
}

std::string BuildUploadBody(std::string_view jpeg, std::string_view field,
                            std::string_view boundary) {
  std::string body;
  body.reserve(jpeg.size() + 256 + field.size() + 2 * boundary.size());
  body += "\r\n--";
  body += boundary;
  body += "\r\nContent-Disposition: form-data; name=\"";
  body += field;
  body += "\";filename=\"scan.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n";
  body += jpeg;
  body += "\r\n--";
  body += boundary;
  body += "--\r\n";
  body += '\0';
  return body;
}

std::string AddressForLog(std::string_view address) {
  const auto query = address.find_first_of("?#");
  if (query == std::string_view::npos) return std::string(address);
  return std::string(address.substr(0, query)) + "?(query left out)";
}

std::string UploadUrl(const UploadAddress& address) {
  std::string url = "http://" + address.host;
  if (address.port != 0) url += ":" + std::to_string(address.port);
  return url + address.path;
}

int32_t SystemTick() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

}  // namespace dralmin
