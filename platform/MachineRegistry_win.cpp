#include <windows.h>

#include <vector>

#include "platform/MachineRegistry.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

REGSAM ViewFlag(RegistryView view) {
  return view == RegistryView::kNative ? KEY_WOW64_64KEY : 0;
}

HKEY Open(const std::string& key, RegistryView view, REGSAM access) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(key).c_str(), 0, access | ViewFlag(view), &opened) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return opened;
}

}  // namespace

std::string MachineKeyName(const std::string& key) {
  return "HKEY_LOCAL_MACHINE\\" + key;
}

std::vector<RegistryValue> ReadMachineValues(const std::string& key, RegistryView view) {
  std::vector<RegistryValue> values;
  const HKEY opened = Open(key, view, KEY_QUERY_VALUE);
  if (opened == nullptr) return values;
  DWORD count = 0, longestName = 0, longestData = 0;
  if (RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(opened);
    return values;
  }
  std::vector<wchar_t> name(longestName + 1);
  // Room for a terminating NUL that a text stored without one lacks.
  std::vector<BYTE> data(longestData + 2 * sizeof(wchar_t));
  for (DWORD i = 0; i < count; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size() - 2 * sizeof(wchar_t));
    DWORD type = 0;
    if (RegEnumValueW(opened, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) !=
        ERROR_SUCCESS) {
      continue;  // changed while read; the next start reads it
    }
    RegistryValue value{Narrow(std::wstring_view(name.data(), nameSize)), std::nullopt};
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::wstring_view text(reinterpret_cast<const wchar_t*>(data.data()),
                             dataSize / sizeof(wchar_t));
      value.text = Narrow(text.substr(0, text.find(L'\0')));
    } else if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
      DWORD number = 0;
      memcpy(&number, data.data(), sizeof number);
      value.text = std::to_string(number);
    }
    values.push_back(std::move(value));
  }
  RegCloseKey(opened);
  return values;
}

bool MachineKeyExists(const std::string& key, RegistryView view) {
  const HKEY opened = Open(key, view, KEY_QUERY_VALUE);
  if (opened == nullptr) return false;
  RegCloseKey(opened);
  return true;
}

bool WriteMachineValue(const std::string& key, const std::string& name, const std::string& text,
                       RegistryView view, std::string& error) {
  HKEY opened = nullptr;
  LSTATUS status =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | ViewFlag(view), nullptr, &opened, nullptr);
  if (status == ERROR_SUCCESS) {
    const std::wstring wide = Widen(text);
    status = RegSetValueExW(opened, Widen(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wide.c_str()),
                            static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
  }
  if (status != ERROR_SUCCESS) {
    error = MachineKeyName(key) + "\\" + name + ": cannot be written: " +
            SystemErrorText(static_cast<unsigned long>(status));
    return false;
  }
  return true;
}

void RemoveMachineValue(const std::string& key, const std::string& name, RegistryView view) {
  const HKEY opened = Open(key, view, KEY_SET_VALUE);
  if (opened == nullptr) return;
  RegDeleteValueW(opened, Widen(name).c_str());
  RegCloseKey(opened);
}

bool RemoveMachineKeyIfEmpty(const std::string& key, RegistryView view) {
  const HKEY opened = Open(key, view, KEY_QUERY_VALUE);
  if (opened == nullptr) return true;
  DWORD subkeys = 0, values = 0;
  const bool empty = RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                      &values, nullptr, nullptr, nullptr, nullptr) ==
                         ERROR_SUCCESS &&
                     subkeys == 0 && values == 0;
  RegCloseKey(opened);
  if (!empty) return false;
  return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Widen(key).c_str(), ViewFlag(view), 0) ==
         ERROR_SUCCESS;
}

}  // namespace dralmin
