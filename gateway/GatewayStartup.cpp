#include "gateway/GatewayStartup.h"

#include <cstdio>

namespace dralmin {

std::unique_ptr<GatewayServer> StartGateway(GatewaySettings settings, RequestHandler& handler,
                                            CertStore& certificates) {
  certificates.UpdateCertificate();
  const std::string version = certificates.version();
  if (!version.empty()) {
    settings.tls = TlsFiles{certificates.CertFilePath(version), certificates.KeyFilePath(version)};
  }
  try {
    return std::make_unique<GatewayServer>(settings, handler);
  } catch (const CertificateError& error) {
    std::fprintf(stderr,
                 "HTTPS is off for this run: %s. The certificate will be fetched again at the "
                 "next start.\n",
                 error.what());
    certificates.Forget();
    settings.tls.reset();
    return std::make_unique<GatewayServer>(settings, handler);
  }
}

}  // namespace dralmin
