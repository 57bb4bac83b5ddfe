#include "app/Agent.h"

#include <atomic>
#include <cstdio>

#include "app/DeviceEndpoints.h"
#include "app/GatewayFactory.h"
#include "devices/barcode/PendingBarcode.h"
#include "gateway/GatewayThread.h"
#include "gateway/Router.h"
#include "platform/InstanceLock.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace dralmin {

int RunAgent(const std::string& programPath) {
  // Before any thread exists, so that every thread inherits the blocked stop signals.
  ProcessSignals signals;

  InstanceLock instance(kInstanceLockName);
  if (!instance.Held()) return 0;  // another agent of this user runs: leave it alone

  if (const std::string folder = FolderOf(programPath); !folder.empty()) {
    ChangeFolder(folder);  // best effort, as a failure changes nothing that matters
  }

  PendingBarcode barcode;
  DeviceEndpoints endpoints(barcode);
  Router router(endpoints);

  std::atomic<bool> gatewayFailed{false};
  GatewayThread gateway(MakeGatewayFactory(router), [&](const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    gatewayFailed = true;
    ProcessSignals::Wake();
  });

  for (;;) {
    const ProcessSignals::Event event = signals.Wait(std::chrono::milliseconds(-1));
    if (event == ProcessSignals::Event::Stop) break;
    if (gatewayFailed) return 1;
  }
  gateway.Stop();
  return 0;
}

}  // namespace dralmin
