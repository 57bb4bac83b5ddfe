#include <windows.h>

#include <filesystem>
#include <ostream>
#include <vector>

#include "app/UsersData.h"
#include "platform/WideText.h"

namespace dralmin {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kProfiles =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The certificate's maker keeps its files and version under this name (see gateway/CertStore).
constexpr const wchar_t* kMaker = L"Veltrana";

// Each profile's folder and the name of its key under HKEY_USERS (its security identifier).
std::vector<std::pair<fs::path, std::wstring>> Profiles() {
  std::vector<std::pair<fs::path, std::wstring>> profiles;
  HKEY list = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfiles, 0, KEY_READ | KEY_WOW64_64KEY, &list) !=
      ERROR_SUCCESS) {
    return profiles;
  }
  wchar_t sid[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = static_cast<DWORD>(std::size(sid));
    if (RegEnumKeyExW(list, i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    wchar_t stored[MAX_PATH], expanded[MAX_PATH];
    DWORD size = sizeof stored;
    if (RegGetValueW(list, sid, L"ProfileImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                     RRF_NOEXPAND, nullptr, stored, &size) != ERROR_SUCCESS ||
        ExpandEnvironmentStringsW(stored, expanded, MAX_PATH) == 0) {
      continue;
    }
    profiles.emplace_back(fs::path(expanded), std::wstring(sid, length));
  }
  RegCloseKey(list);
  return profiles;
}

bool Remove(const fs::path& path, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return true;
  fs::remove_all(path, ec);
  if (ec) {
    err << Narrow(path.wstring()) << ": cannot be removed: " << ec.message() << '\n';
    return false;
  }
  out << "removed " << Narrow(path.wstring()) << '\n';
  return true;
}

// The certificate files only: the maker's folder may hold other programs' files.
bool RemoveCertificates(const fs::path& folder, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  bool ok = true;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    const fs::path extension = entry.path().extension();
    if (extension == L".crt" || extension == L".key") ok = Remove(entry.path(), out, err) && ok;
  }
  if (fs::is_empty(folder, ec)) fs::remove(folder, ec);
  return ok;
}

void RemoveCertificateVersion(const std::wstring& sid) {
  const std::wstring key = sid + L"\\SOFTWARE\\" + kMaker;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS) {
    return;  // none, or the user's registry is not loaded (the user is not logged on)
  }
  RegDeleteValueW(opened, L"CertVersion");
  DWORD subkeys = 1, values = 1;
  RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(opened);
  if (subkeys == 0 && values == 0) RegDeleteKeyW(HKEY_USERS, key.c_str());
}

}  // namespace

int RemoveUsersData(std::ostream& out, std::ostream& err) {
  bool ok = true;
  for (const auto& [profile, sid] : Profiles()) {
    for (const wchar_t* data : {L"AppData\\Roaming", L"AppData\\Local"}) {
      ok = Remove(profile / data / L"Dralmin", out, err) && ok;
      ok = RemoveCertificates(profile / data / kMaker, out, err) && ok;
    }
    RemoveCertificateVersion(sid);
  }
  return ok ? 0 : 1;
}

}  // namespace dralmin
