#pragma once

#include "app/AgentSettings.h"
#include "gateway/GatewayServer.h"
#include "gateway/GatewayThread.h"

namespace dralmin {

// What the poll thread runs first: the certificate update, then the gateway's listeners, as
// `settings` place them.
GatewayThread::Factory MakeGatewayFactory(RequestHandler& router, const AgentSettings& settings);

}  // namespace dralmin
