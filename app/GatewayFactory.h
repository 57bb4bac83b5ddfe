#pragma once

#include "gateway/GatewayServer.h"
#include "gateway/GatewayStartup.h"
#include "gateway/GatewayThread.h"
#include "gateway/PortSharing.h"
#include "settings/AgentSettings.h"

namespace dralmin {

// What the poll thread runs first: the gateway's plain listener, as `settings` place it; who
// holds the ports is told to `ports` (may be null).
GatewayThread::Factory MakeGatewayFactory(RequestHandler& router, const AgentSettings& settings,
                                          std::shared_ptr<PortsReport> ports = nullptr);

// What runs beside the poll loop: the certificate update from the server of `settings`, then the
// HTTPS listener. A stop cancels a transfer in progress.
GatewayThread::Companion MakeHttpsCompanion(const AgentSettings& settings,
                                            HttpsStatus* status = nullptr);

}  // namespace dralmin
