#include "gateway/CertStore.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/UserValue.h"

#ifndef DRALMIN_DEFAULT_CERT_BASE_URL
#define DRALMIN_DEFAULT_CERT_BASE_URL "http://certificates.invalid/dist/cert/"
#endif

namespace dralmin {
namespace {

// The stored version was read through a 128-byte buffer: longer values count as none.
constexpr std::size_t kVersionLimit = 127;
constexpr const char* kMakerKey = "Veltrana";
constexpr const char* kVersionValue = "CertVersion";

bool IsTokenCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

CertStore::CertStore(std::string baseUrl, HttpClient& http, Downloader download)
    : baseUrl_(std::move(baseUrl)), http_(http), download_(std::move(download)) {
  version_ = ReadCertVersion();
}

std::string CertStore::CleanVersion(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  text = text.substr(first, text.find_last_not_of(kBlank) - first + 1);
  if (text.size() > kVersionLimit || text.front() == '.') return {};
  for (char c : text) {
    if (!IsTokenCharacter(c)) return {};
  }
  return std::string(text);
}

std::string CertStore::FetchLatestVersion() {
  HttpTimeouts timeouts;
  timeouts.connect = std::chrono::seconds(3);
  timeouts.total = std::chrono::seconds(10);
  const std::string url = baseUrl_ + "last";
  const HttpResponse response = http_.Get(url, timeouts, 128);
  if (!response.transportOk) {
    LogWarning("certificate", "cannot fetch " + url + ": " + response.error);
    return {};
  }
  // An error page is no version, whatever its text.
  if (response.status >= 400) {
    LogWarning("certificate", url + " answered HTTP " + std::to_string(response.status));
    return {};
  }
  std::string version = CleanVersion(response.body);
  if (version.empty()) LogWarning("certificate", url + " names no usable version");
  return version;
}

void CertStore::UpdateCertificate() {
  const std::string latest = FetchLatestVersion();
  if (latest.empty() || latest == version_) return;
  if (DataFolder().empty()) {
    LogError("certificate",
             "cannot create the folder " + DataHome() + kFolderSeparator + kMakerKey);
    return;
  }
  for (const auto& [suffix, path] :
       {std::pair{".crt.txt", CertFilePath(latest)}, std::pair{".key.txt", KeyFilePath(latest)}}) {
    std::string error;
    if (!download_(baseUrl_ + latest + suffix, path, error)) {
      LogWarning("certificate", "version " + latest + " not installed: " + error);
      return;
    }
  }
  if (!WriteCertVersion(latest)) {
    LogError("certificate", "cannot record version " + latest + " in " + VersionFilePath());
  }
  version_ = latest;
}

std::string CertStore::VersionFilePath() const {
  return UserValueLocation(kMakerKey, kVersionValue);
}

std::string CertStore::ReadCertVersion() const {
  // Only a version that can name a file in the data folder is used.
  return CleanVersion(ReadUserValue(kMakerKey, kVersionValue, kVersionLimit + 1));
}

bool CertStore::WriteCertVersion(const std::string& version) const {
  return WriteUserValue(kMakerKey, kVersionValue, version);
}

void CertStore::Forget() {
  RemoveUserValue(kMakerKey, kVersionValue);
  version_.clear();
}

std::string CertStore::CertFilePath(const std::string& version) {
  return DataFolder() + kFolderSeparator + version + ".crt";
}

std::string CertStore::KeyFilePath(const std::string& version) {
  return DataFolder() + kFolderSeparator + version + ".key";
}

std::string CertStore::DataFolder() {
  if (!dataFolder_.empty()) return dataFolder_;
  const std::string folder = DataHome() + kFolderSeparator + kMakerKey;
  if (!MakeFolders(folder)) return {};
  dataFolder_ = folder;
  return dataFolder_;
}

}  // namespace dralmin
