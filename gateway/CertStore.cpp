#include "gateway/CertStore.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/Paths.h"

#ifndef DRALMIN_DEFAULT_CERT_BASE_URL
#define DRALMIN_DEFAULT_CERT_BASE_URL "http://certificates.invalid/dist/cert/"
#endif

namespace dralmin {
namespace {

// The stored version was read through a 128-byte buffer: longer values count as none.
constexpr std::size_t kVersionLimit = 127;

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
  const HttpResponse response = http_.Get(baseUrl_ + "last", timeouts, 128);
  // An error page is no version, whatever its text.
  if (!response.transportOk || response.status >= 400) return {};
  return CleanVersion(response.body);
}

void CertStore::UpdateCertificate() {
  const std::string latest = FetchLatestVersion();
  if (latest.empty() || latest == version_ || DataFolder().empty()) return;
  if (!download_(baseUrl_ + latest + ".crt.txt", CertFilePath(latest))) return;
  if (!download_(baseUrl_ + latest + ".key.txt", KeyFilePath(latest))) return;
  WriteCertVersion(latest);
  version_ = latest;
}

std::string CertStore::VersionFilePath() const {
  return ConfigHome() + "/Veltrana/CertVersion";
}

std::string CertStore::ReadCertVersion() const {
  std::ifstream file(VersionFilePath(), std::ios::binary);
  if (!file) return {};
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  text = text.substr(0, text.find('\0'));
  if (text.size() > kVersionLimit) return {};
  // Only a version that can name a file in the data folder is used.
  return CleanVersion(text);
}

void CertStore::WriteCertVersion(const std::string& version) const {
  const std::string path = VersionFilePath();
  if (!MakeFolders(FolderOf(path))) return;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << version;
    if (!file.flush()) return;
  }
  std::rename(temporary.c_str(), path.c_str());
}

void CertStore::Forget() {
  std::remove(VersionFilePath().c_str());
  version_.clear();
}

std::string CertStore::CertFilePath(const std::string& version) {
  return DataFolder() + "/" + version + ".crt";
}

std::string CertStore::KeyFilePath(const std::string& version) {
  return DataFolder() + "/" + version + ".key";
}

std::string CertStore::DataFolder() {
  if (!dataFolder_.empty()) return dataFolder_;
  const std::string folder = DataHome() + "/Veltrana";
  if (!MakeFolders(folder)) return {};
  dataFolder_ = folder;
  return dataFolder_;
}

}  // namespace dralmin
