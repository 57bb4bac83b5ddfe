#include "platform/MachineRegistry.h"

namespace dralmin {

std::vector<RegistryValue> ReadMachineValues(const std::string&, RegistryView) {
  return {};
}

bool MachineKeyExists(const std::string&, RegistryView) {
  return false;
}

bool WriteMachineValue(const std::string& key, const std::string&, const std::string&,
                       RegistryView, std::string& error) {
  error = MachineKeyName(key) + ": this system has no registry";
  return false;
}

void RemoveMachineValue(const std::string&, const std::string&, RegistryView) {}

bool RemoveMachineKeyIfEmpty(const std::string&, RegistryView) {
  return true;
}

std::string MachineKeyName(const std::string& key) {
  return "HKEY_LOCAL_MACHINE\\" + key;
}

}  // namespace dralmin
