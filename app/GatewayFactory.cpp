#include "app/GatewayFactory.h"

#include "gateway/CertStore.h"
#include "gateway/GatewayStartup.h"
#include "platform/HttpClient.h"
#include "support/dralmin.h"

namespace dralmin {

GatewayThread::Factory MakeGatewayFactory(RequestHandler& router, const AgentSettings& agent) {
  GatewaySettings settings;
  settings.listenAddress = agent.listenAddress;
  settings.httpPort = agent.httpPort;
  settings.httpsPort = agent.httpsPort;
  return [&router, settings, baseUrl = agent.certBaseUrl] {
    CurlHttpClient http;
    CertStore certificates(baseUrl, http,
                           [](const std::string& url, const std::string& path) {
                             return dralmin_DownloadFile(url.c_str(), path.c_str()) != 0;
                           });
    return StartGateway(settings, router, certificates);
  };
}

}  // namespace dralmin
