#include "gateway/GatewayStartup.h"

#include "platform/Log.h"

namespace dralmin {

void ProvideHttps(GatewayServer& server, CertStore& certificates,
                  const std::atomic<bool>& stopping) {
  certificates.UpdateCertificate();
  if (stopping.load()) return;
  const std::string version = certificates.version();
  if (version.empty()) {
    LogWarning("certificate", "no certificate installed: HTTPS is off for this run");
    return;
  }
  try {
    server.StartTls(
        TlsFiles{certificates.CertFilePath(version), certificates.KeyFilePath(version)});
  } catch (const CertificateError& error) {
    LogError("certificate", "HTTPS is off for this run: " + std::string(error.what()) +
                                ". The certificate will be fetched again at the next start.");
    certificates.Forget();
  }
}

}  // namespace dralmin
