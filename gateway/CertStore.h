#pragma once

#include <functional>
#include <string>

#include "platform/HttpClient.h"

namespace dralmin {

// The certificate and key for the HTTPS port, fetched from the distribution server and kept per
// user: the files in DataFolder(), the installed version in a small file of the config home.
class CertStore {
 public:
  // Fetches `url` into the file `path`; true only when the file is completely written, else
  // false with `error` saying why.
  using Downloader =
      std::function<bool(const std::string& url, const std::string& path, std::string& error)>;

  // `baseUrl` is the server's directory URL, ending in "/". Reads the installed version.
  CertStore(std::string baseUrl, HttpClient& http, Downloader download);

  const std::string& version() const { return version_; }

  // Installs the server's latest version when it differs from the installed one. Failures leave
  // the store as it was; each failed step is one line on standard error.
  void UpdateCertificate();

  // The server's latest version, or empty (and a line on standard error) when it gives none
  // that can name a file.
  std::string FetchLatestVersion();

  std::string ReadCertVersion() const;
  // False when the version could not be stored.
  bool WriteCertVersion(const std::string& version) const;

  // Forgets the installed version, so that the next start downloads afresh.
  void Forget();

  std::string CertFilePath(const std::string& version);
  std::string KeyFilePath(const std::string& version);

  // $XDG_DATA_HOME/Veltrana, created on first use; empty when it cannot be made.
  std::string DataFolder();

  // A version text as the server sent it, trimmed; empty unless it is a plain file-name token.
  static std::string CleanVersion(std::string_view text);

 private:
  std::string VersionFilePath() const;

  std::string baseUrl_;
  HttpClient& http_;
  Downloader download_;
  std::string version_;
  std::string dataFolder_;
};

}  // namespace dralmin
