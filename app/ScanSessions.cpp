#include "app/ScanSessions.h"

#include "devices/scanning/SaneLibrary.h"
#include "devices/scanning/ScanQueue.h"
#include "devices/scanning/ScannerListing.h"
#include "devices/scanning/SourceManagerLibrary.h"
#include "devices/scanning/TwainScanSession.h"
#include "platform/Log.h"

namespace dralmin {

ScanChoices ScanChoicesOf(const AgentSettings& settings) {
  ScanChoices choices;
  choices.device = settings.saneDevice;
  choices.source = NameOf(settings.scanSource);
  choices.mode = NameOf(settings.scanMode);
  choices.resolution = settings.scanResolution;
  return choices;
}

std::unique_ptr<ScanSession> MakeScanSession(const AgentSettings& settings, TwainOwner& owner,
                                             ScanDialog* dialog, MessageBox& messages,
                                             ScanQueue& queue, ScannerListing& listing) {
  auto twain = std::make_unique<DlopenSourceManagerLibrary>(settings.twainDsm);
  const bool either = settings.scanBackend == ScanBackend::Auto;
  bool useTwain = settings.scanBackend == ScanBackend::Twain;
  if (either) {
    // A probe: the session loads the library again itself.
    useTwain = twain->Load() != nullptr;
    twain->Unload();
  }
  if (useTwain) {
    listing.SetBackend("TWAIN");
    return std::make_unique<TwainScanSession>(owner, std::move(twain), &listing);
  }

  std::string error;
  std::unique_ptr<SaneLibrary> sane = LoadSaneLibrary(kSaneLibraryName, error);
  if (!sane) {
    listing.SetBackend("none: " + error);
    LogError("scanner",
             "no scanning: " + error +
                 (either ? " (and no TWAIN manager " + settings.twainDsm + ")" : std::string()));
    return nullptr;
  }
  if (either) {
    LogInfo("scanner", "scanning through SANE: no TWAIN manager " + settings.twainDsm);
  }
  listing.SetBackend("SANE");
  return std::make_unique<SaneSession>(
      std::move(sane), ScanChoicesOf(settings), dialog, messages,
      [&queue](std::string_view jpeg) { return queue.Append(jpeg); }, settings.scanDialog,
      &listing);
}

}  // namespace dralmin
