#include "gateway/GatewayStartup.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>

#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace dralmin {

namespace {

// Why the installed certificate is not taken: the agent's own files must be its user's alone, or
// another user who made the folder first could have put a certificate and key of their own
// there. Empty when they are (a missing file is said when it is loaded).
std::string NotOwnRefusal(const std::string& certificate, const std::string& key) {
  const std::string folder = FolderOf(certificate);
  if (std::string why = PrivateFolderRefusal(folder); !why.empty()) {
    return "the folder " + folder + " cannot be used: " + why;
  }
  for (const std::string& path : {certificate, key}) {
    const OwnFile file = ReadOwnFileEnds(path, 0);
    if (file.failure == OwnFile::Failure::kRefused) return path + " is not taken: " + file.why;
  }
  return {};
}

}  // namespace

bool ReadCertificateSummary(const std::string& path, std::string& subject, std::time_t& expires) {
  // Read by the agent, so that a FIFO in the file's place never blocks.
  const std::optional<std::string> text = ReadFileWhole(path);
  if (!text) return false;
  const std::unique_ptr<BIO, decltype(&BIO_free)> file(
      BIO_new_mem_buf(text->data(), static_cast<int>(text->size())), BIO_free);
  if (!file) return false;
  const std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return false;
  char name[512];
  X509_NAME_oneline(X509_get_subject_name(cert.get()), name, sizeof name);
  subject = name;
  std::tm end{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &end) != 1) return false;
#ifdef _WIN32
  expires = _mkgmtime(&end);
#else
  expires = timegm(&end);
#endif
  return true;
}

void ProvideHttps(GatewayServer& server, CertStore& certificates, const std::atomic<bool>& stopping,
                  HttpsStatus* status) {
  HttpsStatus::State state;
  const auto report = [&state, status](std::string text) {
    state.text = std::move(text);
    if (status != nullptr) status->Set(state);
  };
  certificates.UpdateCertificate();
  if (stopping.load()) return;
  const std::string version = certificates.version();
  if (version.empty()) {
    LogWarning("certificate", "no certificate installed: HTTPS is off for this run");
    return report("off: no certificate installed");
  }
  state.version = version;
  const std::string refusal =
      NotOwnRefusal(certificates.CertFilePath(version), certificates.KeyFilePath(version));
  if (!refusal.empty()) {
    LogError("certificate", "HTTPS is off for this run: " + refusal);
    return report("off: " + refusal);
  }
  if (ReadCertificateSummary(certificates.CertFilePath(version), state.subject, state.expires)) {
    const std::time_t soon = std::time(nullptr) + kCertificateWarningDays * 86400;
    if (state.expires <= soon) {
      LogWarning("certificate", "the certificate " + version + " expires within " +
                                    std::to_string(kCertificateWarningDays) + " days");
    }
  }
  try {
    server.StartTls(
        TlsFiles{certificates.CertFilePath(version), certificates.KeyFilePath(version)});
  } catch (const CertificateError& error) {
    LogError("certificate", "HTTPS is off for this run: " + std::string(error.what()) +
                                ". The certificate will be fetched again at the next start.");
    certificates.Forget();
    return report("off: " + std::string(error.what()));
  }
  state.on = true;
  report("serving HTTPS");
}

}  // namespace dralmin
