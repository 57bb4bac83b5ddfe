#include <optional>
#include <ostream>

#include "app/BrowserPolicies.h"
#include "app/BrowserPolicyStore.h"
#include "platform/MachineRegistry.h"

namespace dralmin {
namespace {

// Beside the installer's own choices, in this program's registry.
constexpr const char* kRecordKey = "SOFTWARE\\Dralmin\\TrayAgent\\Installer";
constexpr const char* kRecordValue = "BrowserPoliciesWritten";
// Where policy keys begin; it exists on every Windows.
constexpr std::string_view kPolicies = "SOFTWARE\\Policies";

// Records the keys from below kPolicies down to `key` that do not exist yet, as writing a value
// creates them.
void RecordMissingKeys(const std::string& key, std::vector<WrittenPolicy>& written) {
  std::vector<std::string> missing;
  for (std::string k = key; k.size() > kPolicies.size() && !MachineKeyExists(k, RegistryView::kNative);
       k = k.substr(0, k.rfind('\\'))) {
    missing.push_back(k);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    written.push_back({WrittenPolicy::Kind::kKey, *it, "", ""});
  }
}

std::optional<std::string> ReadRecord() {
  for (const RegistryValue& value : ReadMachineValues(kRecordKey, RegistryView::kOwn)) {
    if (value.name == kRecordValue) return value.text;
  }
  return std::nullopt;
}

}  // namespace

bool WriteBrowserPolicies(const std::vector<std::string>& origins, const std::string&,
                          std::ostream& out, std::ostream& err) {
  bool ok = RemoveBrowserPolicies("", out, err);
  const bool firefox = MachineKeyExists("SOFTWARE\\Mozilla\\Mozilla Firefox", RegistryView::kNative) ||
                       MachineKeyExists("SOFTWARE\\Mozilla\\Mozilla Firefox", RegistryView::kOwn);
  std::vector<WrittenPolicy> written;
  for (const RegistryListPolicy& list : RegistryBrowserPolicies(origins, firefox)) {
    RecordMissingKeys(list.key, written);
    for (const auto& [name, item] :
         NumberedAdditions(ReadMachineValues(list.key, RegistryView::kNative), list.items)) {
      std::string error;
      if (!WriteMachineValue(list.key, name, item, RegistryView::kNative, error)) {
        err << error << '\n';
        ok = false;
        continue;
      }
      written.push_back({WrittenPolicy::Kind::kValue, list.key, name, item});
    }
    out << "wrote " << MachineKeyName(list.key) << '\n';
  }
  std::string error;
  if (!WriteMachineValue(kRecordKey, kRecordValue, FormatRecord(written), RegistryView::kOwn,
                         error)) {
    err << error << "; what was written is not recorded: remove it by hand\n";
    return false;
  }
  return ok;
}

bool RemoveBrowserPolicies(const std::string&, std::ostream& out, std::ostream&) {
  const std::optional<std::string> record = ReadRecord();
  if (!record) return true;
  RemoveMachineValue(kRecordKey, kRecordValue, RegistryView::kOwn);
  const std::vector<WrittenPolicy> written = ParseRecord(*record);
  for (auto it = written.rbegin(); it != written.rend(); ++it) {
    if (it->kind == WrittenPolicy::Kind::kKey) {
      RemoveMachineKeyIfEmpty(it->where, RegistryView::kNative);  // kept when others use it
      continue;
    }
    if (it->kind != WrittenPolicy::Kind::kValue) continue;
    for (const RegistryValue& value : ReadMachineValues(it->where, RegistryView::kNative)) {
      // An entry changed since is someone else's now.
      if (value.name == it->name && value.text == it->data) {
        RemoveMachineValue(it->where, it->name, RegistryView::kNative);
        out << "removed " << MachineKeyName(it->where) << "\\" << it->name << '\n';
      }
    }
  }
  // Without the installer, the record's keys were this command's own.
  for (std::string key = kRecordKey; key != "SOFTWARE"; key = key.substr(0, key.rfind('\\'))) {
    if (!RemoveMachineKeyIfEmpty(key, RegistryView::kOwn)) break;
  }
  return true;
}

}  // namespace dralmin
