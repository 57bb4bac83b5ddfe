#include <windows.h>

#include <QCoreApplication>
#include <QWinEventNotifier>

#include "app/AgentSystem.h"
#include "platform/StopSignals.h"

namespace dralmin::agent_system {

namespace {

// A crash in any thread ends the process at once, without the system's error report waiting for
// a click, so that the watchdog starts a new agent.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void PrepareProcess() {
  SetUnhandledExceptionFilter(EndOnCrash);
  SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT);
}

bool PrepareDesktop() {
  return true;  // a Windows logon always has one
}

std::unique_ptr<QObject> WatchStopRequests(StopSignals& stop) {
  auto notifier = std::make_unique<QWinEventNotifier>(stop.Handle());
  QObject::connect(notifier.get(), &QWinEventNotifier::activated, notifier.get(), [&stop] {
    if (stop.Consume()) QCoreApplication::exit(0);
  });
  return notifier;
}

std::shared_ptr<void> AddDeviceParts(CMainFrame::Parts&, const AgentSettings&, const std::string&,
                                     bool, MessageBox&, ScanQueue&) {
  // Not yet here: the barcode scanner driver's connection and TWAIN. Without those parts the
  // frame connects no driver (no barcode ever arrives) and has no scanning session, so a scan
  // fails as it does where no TWAIN manager is installed.
  return nullptr;
}

}  // namespace dralmin::agent_system
