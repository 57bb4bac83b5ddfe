#pragma once

#include <atomic>

#include "gateway/CertStore.h"
#include "gateway/GatewayServer.h"

namespace dralmin {

// The certificate's share of the gateway's start, run beside the poll loop (the poll thread's
// companion) so that the plain port serves meanwhile: brings the certificate up to date, then adds
// the HTTPS listener when a version is installed. Installed files that do not load are forgotten
// (the next start downloads them again) and this run serves plain HTTP only, rather than failing
// every start. Throws ListenerError when the HTTPS port cannot be bound. `stopping` is the
// gateway's stop, which `certificates` also watches to cancel a transfer.
void ProvideHttps(GatewayServer& server, CertStore& certificates,
                  const std::atomic<bool>& stopping);

}  // namespace dralmin
