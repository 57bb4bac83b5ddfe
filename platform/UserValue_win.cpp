#include <windows.h>

#include <vector>

#include "platform/UserValue.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

std::wstring KeyPath(const std::string& key) {
  return L"SOFTWARE\\" + Widen(key);
}

}  // namespace

std::string UserValueLocation(const std::string& key, const std::string& name) {
  return "HKEY_CURRENT_USER\\SOFTWARE\\" + key + "\\" + name;
}

std::string ReadUserValue(const std::string& key, const std::string& name, std::size_t limit) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(key).c_str(), 0, KEY_READ, &opened) !=
      ERROR_SUCCESS) {
    return {};
  }
  // The ANSI call, so that `limit` counts bytes of the text as it is stored for narrow readers.
  std::vector<char> buffer(limit);
  DWORD size = static_cast<DWORD>(buffer.size());
  const LSTATUS status = RegQueryValueExA(opened, name.c_str(), nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS) return {};  // missing, or longer than the buffer
  const std::string text(buffer.data(), size);
  return text.substr(0, text.find('\0'));
}

bool WriteUserValue(const std::string& key, const std::string& name, const std::string& value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, KeyPath(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE, nullptr, &opened, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // Stored with its terminating NUL.
  const LSTATUS status =
      RegSetValueExA(opened, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(opened);
  return status == ERROR_SUCCESS;
}

void RemoveUserValue(const std::string& key, const std::string& name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(key).c_str(), 0, KEY_SET_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueA(opened, name.c_str());
  RegCloseKey(opened);
}

}  // namespace dralmin
