// The test helpers on Windows.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/AccessControl_win.h"
#include "platform/WideText.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {

TempFolder::TempFolder() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (unsigned n = GetCurrentProcessId() * 1000 + GetTickCount() % 1000;; ++n) {
    const std::filesystem::path candidate = base / ("dralmin-test-" + std::to_string(n));
    // The user's alone, as mkdtemp makes it on POSIX: the agent keeps private files in it.
    PrivateSecurity security;
    if (CreateDirectoryW(candidate.c_str(), security.attributes())) {
      path_ = candidate.string();
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;  // no temporary folder at all
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

PrivateUserProfile::PrivateUserProfile()
    : configHome_(folder_.path() + "\\AppData"), dataHome_(configHome_) {
  // The agent takes the folder from %APPDATA% when it is set, as Windows sets it from the shell's.
  if (const char* appData = std::getenv("APPDATA"); appData != nullptr) {
    previousConfigHome_ = appData;
  }
  SetEnvironment("APPDATA", configHome_);
  std::filesystem::create_directory(configHome_);  // the shell names only a folder that exists
  registryKey_ = "SOFTWARE\\DralminTest\\Profile-" + std::to_string(GetCurrentProcessId()) + "-" +
                 std::to_string(GetTickCount());
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, registryKey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot create the private user key " << registryKey_;
    return;
  }
  // The shell reads the application data folder from the user key, which is now the private one.
  const std::wstring appData = std::filesystem::path(configHome_).wstring();
  RegSetKeyValueW(key,
                  L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                  L"AppData", REG_SZ, appData.c_str(),
                  static_cast<DWORD>((appData.size() + 1) * sizeof(wchar_t)));
  RegOverridePredefKey(HKEY_CURRENT_USER, key);  // keeps a handle of its own
  RegCloseKey(key);
}

PrivateUserProfile::~PrivateUserProfile() {
  SetEnvironment("APPDATA", previousConfigHome_.value_or(""));
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, registryKey_.c_str());
}

std::string PrivateUserProfile::RawUserValue(const std::string& key,
                                             const std::string& name) const {
  std::string bytes(4096, '\0');
  DWORD size = static_cast<DWORD>(bytes.size());
  if (RegGetValueA(HKEY_CURRENT_USER, ("SOFTWARE\\" + key).c_str(), name.c_str(),
                   RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, bytes.data(), &size) != ERROR_SUCCESS ||
      size == 0) {
    return {};
  }
  bytes.resize(size - 1);
  return bytes;
}

void PrivateUserProfile::SetRawUserValue(const std::string& key, const std::string& name,
                                         const std::string& bytes) const {
  const std::string stored = bytes + '\0';
  RegSetKeyValueA(HKEY_CURRENT_USER, ("SOFTWARE\\" + key).c_str(), name.c_str(), REG_SZ,
                  stored.data(), static_cast<DWORD>(stored.size()));
}

std::string ConnectionRefusedText() {
  return SystemErrorText(WSAECONNREFUSED);
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());  // an empty value removes the variable
}

}  // namespace dralmin::test
