#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include <QCoreApplication>
#include <QWinEventNotifier>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

#include "app/AgentSystem.h"
#include "app/ScannerWindow_win.h"
#include "devices/barcode/ComScannerDriver_win.h"
#include "devices/scanning/ScannerListing.h"
#include "devices/scanning/SourceManagerLibrary.h"
#include "devices/scanning/TwainScanSession.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/StopSignals.h"
#include "platform/WideText.h"

namespace dralmin::agent_system {

namespace {

// A crash in any thread ends the process at once, without the system's error report waiting for
// a click, so that the watchdog starts a new agent.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

// Started by the watchdog, the agent has no console, so its log goes to a file of the user's
// local (not roaming) application data: %LOCALAPPDATA%\Dralmin\logs\agent.log and agent.log.1.
constexpr std::size_t kLogFileBytes = 2 * 1024 * 1024;

void StartLogFile() {
  wchar_t local[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK) {
    LogWarning("agent", "no local application data folder: logging to standard error only");
    return;
  }
  const std::string folder = Narrow(local) + "\\Dralmin\\logs";
  if (!MakeFolders(folder)) {
    LogWarning("agent", "cannot create " + folder + ": logging to standard error only");
    return;
  }
  SetLogFile(folder + "\\agent.log", kLogFileBytes);
}

}  // namespace

void PrepareProcess() {
  SetUnhandledExceptionFilter(EndOnCrash);
  SetErrorMode(SEM_NOALIGNMENTFAULTEXCEPT);
  // This thread becomes the user-interface thread: a single-threaded apartment, whose message loop
  // (Qt's) brings the barcode scanner driver's events.
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    LogError("agent", "COM cannot start on this thread: no barcode scanner driver");
  }
  StartLogFile();  // only the one agent of the logon comes here, so one process writes the file
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

std::shared_ptr<void> AddDeviceParts(CMainFrame::Parts& parts, const AgentSettings& settings,
                                     const std::string&, bool, MessageBox&, ScanQueue&,
                                     ScannerListing& scanners) {
  // Connected once, at the frame's creation: a driver installed later is taken at the next start.
  parts.makeScannerDriver = &ComScannerDriver::Create;
  auto window = std::make_shared<ScannerWindow>();
  parts.window = window->Handle();
  parts.offerEveryMessage = &ScannerWindow::OfferEveryMessage;
  parts.scanOnFrameThread = true;
  scanners.SetBackend("TWAIN");
  parts.makeScanSession = [&settings,
                           &scanners](TwainOwner& owner) -> std::unique_ptr<ScanSession> {
    auto manager = std::make_unique<DlopenSourceManagerLibrary>(settings.twainDsm);
    // Without the manager the session stays unloaded and every scan fails; the line says why.
    if (manager->Load() == nullptr) {
      LogError("scanner", "no scanning: " + manager->error());
      scanners.SetBackend("none: " + manager->error());
    }
    manager->Unload();
    return std::make_unique<TwainScanSession>(owner, std::move(manager), &scanners);
  };
  return window;
}

bool DeviceExists(const std::string& path) {
  constexpr std::string_view kDeviceNamespace = "\\\\.\\";
  if (path.starts_with(kDeviceNamespace)) {
    // A serial port is a DOS device name, such as COM5, and not a file.
    wchar_t target[1024];
    if (QueryDosDeviceW(Widen(path.substr(kDeviceNamespace.size())).c_str(), target,
                        static_cast<DWORD>(std::size(target))) != 0) {
      return true;
    }
    // Not every system lists its ports there (Wine links them only when opened): an open for
    // no access at all tells, and a port in use by another program exists too.
    const HANDLE device =
        CreateFileW(Widen(path).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
      CloseHandle(device);
      return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  std::error_code error;
  return std::filesystem::exists(std::filesystem::path(Widen(path)), error);
}

}  // namespace dralmin::agent_system
