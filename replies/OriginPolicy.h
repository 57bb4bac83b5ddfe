#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replies/Request.h"

namespace dralmin {

// A page origin written as browsers compare them: "scheme://host[:port]" with scheme and host in
// lower case and the scheme's default port left out. nullopt for anything else, "null" included.
// A lone trailing "/" is accepted, as administrators often copy an origin from the address bar.
std::optional<std::string> ParseOrigin(std::string_view text);

// The origin of an absolute URL (its scheme, host and port; the path, query and fragment are
// dropped); nullopt when the text is not such a URL.
std::optional<std::string> OriginOfUrl(std::string_view url);

// Which pages may use the devices. Pure: the router reports refusals.
class OriginPolicy {
 public:
  // nullopt: every page, with no look at the request. Otherwise only pages of the listed
  // origins (each as ParseOrigin gives it); an empty list allows no page.
  explicit OriginPolicy(std::optional<std::vector<std::string>> allowed = std::nullopt)
      : allowed_(std::move(allowed)) {}

  bool AllowsEveryPage() const { return !allowed_; }

  // The origin of the page that made the request: its Origin header when it has one (a browser
  // sends it on posts and preflights), else the origin of its Referer (a script load from another
  // origin carries the page's origin there). nullopt when neither names one: an "Origin: null"
  // (a sandboxed frame, a local file) is not passed over for the Referer.
  static std::optional<std::string> PageOrigin(const Request& request);

  bool Allows(const std::optional<std::string>& pageOrigin) const;

 private:
  std::optional<std::vector<std::string>> allowed_;
};

}  // namespace dralmin
