#include "app/GatewayFactory.h"

#include <algorithm>

#include "gateway/CertStore.h"
#include "gateway/GatewayStartup.h"
#include "platform/HttpClient.h"
#include "support/FileDownload.h"

namespace dralmin {

std::size_t ConnectionCap(std::size_t descriptors) {
  const std::size_t kMost = GatewaySettings{}.maxConnections;
  if (descriptors == kNoDescriptorLimit) return kMost;
  // Past the cap a connection is refused; a page already queued must never be lost because its
  // file could not be opened.
  const std::size_t reserve = std::min(kDescriptorReserve, descriptors / 2);
  return std::min(kMost, descriptors - reserve);
}

GatewayThread::Factory MakeGatewayFactory(RequestHandler& router, const AgentSettings& agent,
                                          std::shared_ptr<PortsReport> ports,
                                          std::size_t descriptors) {
  GatewaySettings settings;
  settings.maxConnections = ConnectionCap(descriptors);
  settings.listenAddress = agent.listenAddress;
  settings.httpPort = agent.httpPort;
  settings.httpsPort = agent.httpsPort;
  settings.sharedPorts = agent.sharedPorts;
  settings.brokerSocket = agent.portBroker;
  settings.portsReport = ports;
  return [&router, settings] { return std::make_unique<GatewayServer>(settings, router); };
}

GatewayThread::Companion MakeHttpsCompanion(const AgentSettings& agent, HttpsStatus* status) {
  return [baseUrl = agent.certBaseUrl, status](GatewayServer& server,
                                               const std::atomic<bool>& stopping) {
    CurlHttpClient http(&stopping);
    // The support library's download, called directly: its C interface has no way to cancel.
    CertStore certificates(
        baseUrl, http,
        [&stopping](const std::string& url, const std::string& path, std::string& error) {
          DownloadLimits limits;
          limits.cancelled = &stopping;
          return DownloadFile(url, path, limits, &error);
        });
    ProvideHttps(server, certificates, stopping, status);
  };
}

}  // namespace dralmin
