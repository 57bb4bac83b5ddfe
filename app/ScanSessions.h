#pragma once

#include <memory>

#include "devices/scanning/SaneSession.h"
#include "devices/scanning/ScanSession.h"
#include "settings/AgentSettings.h"

namespace dralmin {

class MessageBox;
class ScanQueue;
class ScannerListing;

// The scanning session the settings ask for: scan_backend "twain", "sane", or "auto" (TWAIN when
// its manager library loads, otherwise SANE). Null, after a line on standard error, when the
// backend's library is missing. `dialog` (null when nobody would see it) asks before each SANE
// scan only when scan_dialog is true; it always serves the tray's scanner choice. `listing` is
// told the backend chosen and receives the session's listings of scanners.
std::unique_ptr<ScanSession> MakeScanSession(const AgentSettings& settings, TwainOwner& owner,
                                             ScanDialog* dialog, MessageBox& messages,
                                             ScanQueue& queue, ScannerListing& listing);

// The scan choices the settings give.
ScanChoices ScanChoicesOf(const AgentSettings& settings);

}  // namespace dralmin
