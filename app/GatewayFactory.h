#pragma once

#include "gateway/GatewayServer.h"
#include "gateway/GatewayStartup.h"
#include "gateway/GatewayThread.h"
#include "gateway/PortsReport.h"
#include "platform/DescriptorLimit.h"
#include "settings/AgentSettings.h"

namespace dralmin {

// Descriptors kept free of connections, for the scan queue's files, the log, uploads and devices
// (the gateway takes up to 64 of them, an eighth of a small cap, for connections it refuses).
inline constexpr std::size_t kDescriptorReserve = 128;

// How many connections the gateway holds at most under a limit of `descriptors`: 1024, fewer
// when the limit leaves no reserve beside them (half of a small limit).
std::size_t ConnectionCap(std::size_t descriptors);

// What the poll thread runs first: the gateway's plain listener, as `settings` place it, holding
// at most ConnectionCap(descriptors) connections; who holds the ports is told to `ports` (may be
// null).
GatewayThread::Factory MakeGatewayFactory(RequestHandler& router, const AgentSettings& settings,
                                          std::shared_ptr<PortsReport> ports = nullptr,
                                          std::size_t descriptors = kNoDescriptorLimit);

// What runs beside the poll loop: the certificate update from the server of `settings`, then the
// HTTPS listener. A stop cancels a transfer in progress.
GatewayThread::Companion MakeHttpsCompanion(const AgentSettings& settings,
                                            HttpsStatus* status = nullptr);

}  // namespace dralmin
