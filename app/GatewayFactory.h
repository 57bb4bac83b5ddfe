#pragma once

#include "gateway/GatewayServer.h"
#include "gateway/GatewayThread.h"

namespace dralmin {

// Listener settings from the environment: DRALMIN_LISTEN_ADDRESS, DRALMIN_HTTP_PORT and
// DRALMIN_HTTPS_PORT.
GatewaySettings GatewaySettingsFromEnvironment();

// What the poll thread runs first: the certificate update, then the gateway's listeners.
GatewayThread::Factory MakeGatewayFactory(RequestHandler& router);

}  // namespace dralmin
