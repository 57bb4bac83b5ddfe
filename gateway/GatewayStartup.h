#pragma once

#include <memory>

#include "gateway/CertStore.h"
#include "gateway/GatewayServer.h"

namespace dralmin {

// The poll thread's first act: bring the HTTPS certificate up to date, then create the listeners,
// the HTTPS one when a certificate version is installed. Installed files that do not load are
// forgotten (the next start downloads them again) and this run serves plain HTTP only, rather
// than failing every start. Throws ListenerError when a port cannot be bound.
std::unique_ptr<GatewayServer> StartGateway(GatewaySettings settings, RequestHandler& handler,
                                            CertStore& certificates);

}  // namespace dralmin
