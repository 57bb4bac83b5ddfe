#include "app/GatewayFactory.h"

#include "gateway/CertStore.h"
#include "gateway/GatewayStartup.h"
#include "platform/Environment.h"
#include "platform/HttpClient.h"
#include "support/dralmin.h"

namespace dralmin {

GatewaySettings GatewaySettingsFromEnvironment() {
  GatewaySettings settings;
  settings.listenAddress = EnvOr("DRALMIN_LISTEN_ADDRESS", "127.0.0.1");
  settings.httpPort = EnvPort("DRALMIN_HTTP_PORT", 8081);
  settings.httpsPort = EnvPort("DRALMIN_HTTPS_PORT", 8433);
  return settings;
}

GatewayThread::Factory MakeGatewayFactory(RequestHandler& router) {
  return [&router] {
    CurlHttpClient http;
    CertStore certificates(CertBaseUrl(), http,
                           [](const std::string& url, const std::string& path) {
                             return dralmin_DownloadFile(url.c_str(), path.c_str()) != 0;
                           });
    return StartGateway(GatewaySettingsFromEnvironment(), router, certificates);
  };
}

}  // namespace dralmin
