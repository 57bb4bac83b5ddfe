#include "replies/OriginPolicy.h"

#include <algorithm>
#include <charconv>

namespace dralmin {
namespace {

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHex(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void AppendLower(std::string& out, std::string_view text) {
  for (char c : text) out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

template <typename Predicate>
bool All(std::string_view text, Predicate predicate) {
  return std::all_of(text.begin(), text.end(), predicate);
}

unsigned DefaultPort(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  return 0;
}

struct SplitUrl {
  std::string origin;
  std::string_view rest;  // from the first "/", "?" or "#" after the host and port; may be empty
};

// Reads "scheme://host[:port]" at the start of `text`. Hosts are names or IP addresses (IPv6 in
// brackets); user names, percent escapes and anything else a browser would not put in an origin
// make it no origin.
std::optional<SplitUrl> Split(std::string_view text) {
  const size_t separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) return std::nullopt;
  const std::string_view scheme = text.substr(0, separator);
  if (!IsAlpha(scheme.front()) || !All(scheme, [](char c) {
        return IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.';
      })) {
    return std::nullopt;
  }
  std::string_view authority = text.substr(separator + 3);
  const size_t end = authority.find_first_of("/?#");
  SplitUrl split;
  if (end != std::string_view::npos) {
    split.rest = authority.substr(end);
    authority = authority.substr(0, end);
  }

  std::string_view host = authority;
  std::string_view port;
  bool hasPort = false;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close < 2) return std::nullopt;
    host = authority.substr(0, close + 1);
    if (!All(host.substr(1, close - 1), [](char c) { return IsHex(c) || c == ':' || c == '.'; })) {
      return std::nullopt;
    }
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':') return std::nullopt;
    hasPort = !after.empty();
    if (hasPort) port = after.substr(1);
  } else {
    const size_t colon = authority.find(':');
    hasPort = colon != std::string_view::npos;
    if (hasPort) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
    if (host.empty() || !All(host, [](char c) {
          return IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_';
        })) {
      return std::nullopt;
    }
  }

  AppendLower(split.origin, scheme);
  const unsigned defaultPort = DefaultPort(split.origin);
  split.origin += "://";
  AppendLower(split.origin, host);
  // "host:" is the default port, as browsers read it; leading zeros are dropped.
  if (hasPort && !port.empty()) {
    unsigned number = 0;
    const auto [last, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (ec != std::errc() || last != port.data() + port.size() || number > 65535) {
      return std::nullopt;
    }
    if (number != defaultPort) split.origin += ":" + std::to_string(number);
  }
  return split;
}

}  // namespace

std::optional<std::string> ParseOrigin(std::string_view text) {
  std::optional<SplitUrl> split = Split(text);
  if (!split || !(split->rest.empty() || split->rest == "/")) return std::nullopt;
  return std::move(split->origin);
}

std::optional<std::string> OriginOfUrl(std::string_view url) {
  std::optional<SplitUrl> split = Split(url);
  if (!split) return std::nullopt;
  return std::move(split->origin);
}

std::optional<std::string> OriginPolicy::PageOrigin(const Request& request) {
  if (request.origin) return ParseOrigin(*request.origin);
  if (request.referer) return OriginOfUrl(*request.referer);
  return std::nullopt;
}

bool OriginPolicy::Allows(const std::optional<std::string>& pageOrigin) const {
  if (!allowed_) return true;
  return pageOrigin &&
         std::find(allowed_->begin(), allowed_->end(), *pageOrigin) != allowed_->end();
}

}  // namespace dralmin
