#pragma once

#include <optional>
#include <string>
#include <vector>

namespace dralmin {

// The machine's part of the Windows registry (HKEY_LOCAL_MACHINE); keys are given below it, as
// "SOFTWARE\\Policies\\Dralmin\\TrayAgent". Other systems have none: there nothing is found and
// nothing can be written.

// Which of the two registries of 64-bit Windows: this 32-bit program's own (where its installer
// writes, under Wow6432Node), or the system's native one (where Group Policy and the browsers'
// policies live). On 32-bit Windows they are the same.
enum class RegistryView { kOwn, kNative };

// One value of a key: its text, or a number in decimal; nullopt for a value of another type.
struct RegistryValue {
  std::string name;
  std::optional<std::string> text;
};

// The values of a key, in the registry's order; empty when there is no such key.
std::vector<RegistryValue> ReadMachineValues(const std::string& key, RegistryView view);

// True when the key exists.
bool MachineKeyExists(const std::string& key, RegistryView view);

// Sets a text value, creating the key and the keys above it as needed; false, with `error`, when
// it cannot.
bool WriteMachineValue(const std::string& key, const std::string& name, const std::string& text,
                       RegistryView view, std::string& error);

// Removes a value; a missing one is no error.
void RemoveMachineValue(const std::string& key, const std::string& name, RegistryView view);

// Removes the key when it has neither values nor subkeys; true when it is gone.
bool RemoveMachineKeyIfEmpty(const std::string& key, RegistryView view);

// How a key is named in messages: "HKEY_LOCAL_MACHINE\\" + key.
std::string MachineKeyName(const std::string& key);

}  // namespace dralmin
