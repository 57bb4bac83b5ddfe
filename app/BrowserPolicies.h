#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/MachineRegistry.h"

namespace dralmin {

// The browsers' enterprise policies that let the allowed pages (`allowed_origins`) reach the agent
// without the browser asking the user: written on request, and removed again exactly, since other
// software and the administrator keep their own entries beside ours.

// Chrome's and Edge's list policies: each a list of URL patterns (an origin is one). The second
// is the finer one of newer versions, for the loopback address alone.
inline constexpr std::string_view kChromiumPolicies[] = {"LocalNetworkAccessAllowedForUrls",
                                                         "LoopbackNetworkAllowedForUrls"};

// The hosts of the origins, once each, as Firefox's policy lists domains ("https://a.example:8443"
// gives "a.example").
std::vector<std::string> OriginHosts(const std::vector<std::string>& origins);

// The managed policy file of Chrome and Chromium: each policy of kChromiumPolicies listing the
// origins.
std::string ChromiumPolicyJson(const std::vector<std::string>& origins);

// Firefox's policies.json with `hosts` added to LocalNetworkAccess.SkipDomains, every other policy
// kept; `added` receives the hosts that were not listed yet. An empty `existing` is a new file.
// nullopt, with `error`, when `existing` is not a JSON object.
std::optional<std::string> AddFirefoxDomains(std::string_view existing,
                                             const std::vector<std::string>& hosts,
                                             std::vector<std::string>& added, std::string& error);

// The same with `hosts` taken out again; a part of the policy left empty goes too. `empty` tells
// whether the file then holds no policy at all.
std::optional<std::string> RemoveFirefoxDomains(std::string_view existing,
                                                const std::vector<std::string>& hosts, bool& empty,
                                                std::string& error);

// A list policy in the Windows registry: a key below HKEY_LOCAL_MACHINE whose values "1", "2", ...
// are the items.
struct RegistryListPolicy {
  std::string key;
  std::vector<std::string> items;
};

// Chrome's and Edge's policies, and Firefox's when `firefox`, as registry lists.
std::vector<RegistryListPolicy> RegistryBrowserPolicies(const std::vector<std::string>& origins,
                                                        bool firefox);

// The values (name, item) that add `items` to a list key holding `existing`: the items not listed
// yet, numbered on from the highest number there, so that no entry of another writer is replaced.
std::vector<std::pair<std::string, std::string>> NumberedAdditions(
    const std::vector<RegistryValue>& existing, const std::vector<std::string>& items);

// One thing written, so that a removal undoes exactly that.
struct WrittenPolicy {
  enum class Kind { kFolder, kFile, kFirefoxDomain, kKey, kValue };
  Kind kind;
  std::string where;  // a folder, a file or a registry key
  std::string name;   // the domain added to the file, or the value's name
  std::string data;   // the value's text
  bool operator==(const WrittenPolicy&) const = default;
};

// The record as text (one tab-separated line each), and back; a line that cannot be read is
// skipped, as the rest still says what to remove.
std::string FormatRecord(const std::vector<WrittenPolicy>& written);
std::vector<WrittenPolicy> ParseRecord(std::string_view text);

}  // namespace dralmin
