#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>

#include "app/BrowserPolicies.h"
#include "app/BrowserPolicyStore.h"
#include "platform/Files.h"

namespace dralmin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChromiumFolders[] = {"/etc/opt/chrome/policies/managed",
                                            "/etc/chromium/policies/managed"};
constexpr const char* kChromiumFile = "dralmin-tray-agent.json";
// Firefox reads the system-wide policies from here, whichever package installed it.
constexpr const char* kFirefoxFolder = "/etc/firefox/policies";
constexpr const char* kFirefoxSigns[] = {"/etc/firefox", "/usr/lib/firefox",
                                         "/usr/lib/firefox-esr"};
constexpr const char* kRecordFolder = "/var/lib/dralmin-tray-agent";
constexpr const char* kRecordFile = "/browser-policies";

std::optional<std::string> ReadWhole(const std::string& path) {
  return ReadFileWhole(path);
}

bool Write(const std::string& path, const std::string& text, std::ostream& err) {
  if (WriteFileWhole(path, text) == WriteFailure::kNone) return true;
  err << path << ": cannot be written: " << std::strerror(errno) << '\n';
  return false;
}

// Creates the folder and those above it that are missing, recording each one created.
bool MakeFolders(const std::string& folder, std::vector<WrittenPolicy>& written,
                 std::ostream& err) {
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path p = folder; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!fs::create_directory(*it, ec) && ec) {
      err << it->string() << ": cannot be created: " << ec.message() << '\n';
      return false;
    }
    written.push_back({WrittenPolicy::Kind::kFolder, it->string(), "", ""});
  }
  return true;
}

bool ChangeFirefoxFile(const std::string& path, const std::string& domain, std::ostream& out,
                       std::ostream& err) {
  const std::optional<std::string> text = ReadWhole(path);
  if (!text) return true;  // gone already
  std::string error;
  bool empty = false;
  const std::optional<std::string> changed = RemoveFirefoxDomains(*text, {domain}, empty, error);
  if (!changed) {
    err << path << ": " << error << "; " << domain << " left in it\n";
    return false;
  }
  if (empty) {
    RemoveFile(path);
    out << "removed " << path << '\n';
    return true;
  }
  return Write(path, *changed, err);
}

}  // namespace

bool WriteBrowserPolicies(const std::vector<std::string>& origins, const std::string& root,
                          std::ostream& out, std::ostream& err) {
  bool ok = RemoveBrowserPolicies(root, out, err);
  std::vector<WrittenPolicy> written;
  for (const char* folder : kChromiumFolders) {
    const std::string path = root + folder + "/" + kChromiumFile;
    if (!MakeFolders(root + folder, written, err) ||
        !Write(path, ChromiumPolicyJson(origins), err)) {
      ok = false;
      continue;
    }
    written.push_back({WrittenPolicy::Kind::kFile, path, "", ""});
    out << "wrote " << path << '\n';
  }
  std::error_code ec;
  const bool firefox = std::any_of(std::begin(kFirefoxSigns), std::end(kFirefoxSigns),
                                   [&](const char* sign) { return fs::exists(root + sign, ec); });
  if (firefox) {
    const std::string path = root + kFirefoxFolder + "/policies.json";
    std::vector<std::string> added;
    std::string error;
    const std::optional<std::string> text =
        AddFirefoxDomains(ReadWhole(path).value_or(""), OriginHosts(origins), added, error);
    if (!text) {
      err << path << ": " << error << "; left as it is\n";
      ok = false;
    } else if (added.empty()) {
      out << path << " allows those pages already\n";
    } else if (MakeFolders(root + kFirefoxFolder, written, err) && Write(path, *text, err)) {
      for (const std::string& domain : added) {
        written.push_back({WrittenPolicy::Kind::kFirefoxDomain, path, domain, ""});
      }
      out << "wrote " << path << '\n';
    } else {
      ok = false;
    }
  }
  if (!MakeFolders(root + kRecordFolder, written, err) ||
      !Write(root + kRecordFolder + kRecordFile, FormatRecord(written), err)) {
    err << "what was written is not recorded: remove it by hand\n";
    return false;
  }
  return ok;
}

bool RemoveBrowserPolicies(const std::string& root, std::ostream& out, std::ostream& err) {
  const std::string recordPath = root + kRecordFolder + kRecordFile;
  const std::optional<std::string> record = ReadWhole(recordPath);
  if (!record) return true;
  const std::vector<WrittenPolicy> written = ParseRecord(*record);
  RemoveFile(recordPath);
  bool ok = true;
  // Last written first, so that each folder is empty when its turn comes.
  for (auto it = written.rbegin(); it != written.rend(); ++it) {
    std::error_code ec;
    switch (it->kind) {
      case WrittenPolicy::Kind::kFile:
        RemoveFile(it->where);
        out << "removed " << it->where << '\n';
        break;
      case WrittenPolicy::Kind::kFirefoxDomain:
        ok = ChangeFirefoxFile(it->where, it->name, out, err) && ok;
        break;
      case WrittenPolicy::Kind::kFolder:
        fs::remove(it->where, ec);  // kept when something else was put in it since
        break;
      default:
        break;
    }
  }
  return ok;
}

}  // namespace dralmin
