#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace dralmin {

// Where the browsers' policies are written, and the record of what was written (see
// BrowserPolicies.h). On Linux: Chrome's and Chromium's managed policy folders under /etc and,
// when Firefox is installed, its /etc/firefox/policies/policies.json; the record is
// /var/lib/dralmin-tray-agent/browser-policies. On Windows: the machine's policy keys of Chrome,
// Edge and (when installed) Firefox; the record is a value beside the installer's choices.

// Writes the policies allowing `origins`, after removing what an earlier write left. `root` is
// put in front of every path (empty: the system itself; ignored on Windows). Each failure is one
// line on `err` and makes the result false; what was written before it is recorded all the same,
// so that a removal takes it away.
bool WriteBrowserPolicies(const std::vector<std::string>& origins, const std::string& root,
                          std::ostream& out, std::ostream& err);

// Removes what the record says was written, and the record: a policy entry that someone changed
// since stays. Nothing recorded is no error.
bool RemoveBrowserPolicies(const std::string& root, std::ostream& out, std::ostream& err);

}  // namespace dralmin
