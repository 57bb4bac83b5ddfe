#pragma once

#include <memory>

#include "app/CMainFrame.h"
#include "platform/MessageBox.h"
#include "settings/AgentSettings.h"

class QObject;

namespace dralmin {

class ScanQueue;
class ScannerListing;
class StopSignals;

// The parts of the agent that differ between systems (AgentSystem_posix.cpp, AgentSystem_win.cpp).
namespace agent_system {

// Process-wide settings of the agent role, made once it knows it is the only agent.
void PrepareProcess();

// True when a desktop is there for the tray icon and the dialogs.
bool PrepareDesktop();

// Whether the file or device at `path` exists, for the warnings of the status page; on Windows
// "\\.\COM5" names a device that no file system lists.
bool DeviceExists(const std::string& path);

// Ends the event loop with 0 once a stop is requested; the returned watcher must outlive the loop.
std::unique_ptr<QObject> WatchStopRequests(StopSignals& stop);

// The device parts of the frame this system has: the barcode driver connection and the scanning
// session. `userFile` is the user's settings file, where a dialog stores its choices; `watched`
// tells whether someone sees dialogs. `scanners` is told the scanning backend in use (where it is
// known before the session is made, at once) and the session's listings of scanners. The returned
// object keeps what they need (such as a scan dialog) and must outlive the frame.
std::shared_ptr<void> AddDeviceParts(CMainFrame::Parts& parts, const AgentSettings& settings,
                                     const std::string& userFile, bool watched,
                                     MessageBox& messages, ScanQueue& queue,
                                     ScannerListing& scanners);

}  // namespace agent_system
}  // namespace dralmin
