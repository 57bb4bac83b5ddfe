#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devices/scanning/SourceManagerLibrary.h"
#include "devices/scanning/Twain.h"
#include "devices/scanning/TwainOwner.h"

namespace dralmin {

// The agent's one connection to a document scanner: a data source manager library and one data
// source, driven in native transfer mode with the source's own user interface shown. Pages are
// handed to the owner as packed DIBs.
//
// Used from two threads: Acquire from the gateway's poll thread, ProcessMessage and SelectSource
// from the owner's user-interface thread. Every public operation holds the session's lock, so the
// manager sees the calls of the two threads one after the other, in the protocol's order.
class CTwain {
 public:
  // What DecideTransfer answers for a pending page.
  static constexpr int kTransfer = 0;
  static constexpr int kSkip = 1;
  static constexpr int kCancelAll = 2;

  // Pages wider than this are not transferred: the run of pages ends there.
  static constexpr TW_INT32 kMaxImageWidth = 50000;
  // A failing image-information query is asked this many times before the pending pages are
  // cancelled.
  static constexpr int kImageInfoAttempts = 3;
  // A manager that never ends its list of sources is not asked past this many.
  static constexpr std::size_t kMaxListedSources = 64;

  // Records the owner and loads the manager for the owner's window. A failed load is not
  // reported: the session stays unloaded and every later operation fails.
  CTwain(TwainOwner& owner, std::unique_ptr<SourceManagerLibrary> library);
  ~CTwain();
  CTwain(const CTwain&) = delete;
  CTwain& operator=(const CTwain&) = delete;

  // Opens the source unless it is open, asks it for any number of pages and shows its user
  // interface; a source still enabled from an earlier scan is disabled first. False when any
  // step fails, and at once, without waiting for the session, while the pages of a scan are
  // being transferred: that scan keeps them.
  bool Acquire();

  // True while a run of pages is being transferred; safe from any thread.
  bool Transferring() const { return transferring_; }

  // The product names of the sources the manager lists (any state from the manager's opening
  // on); none while the manager is not open. A listing that fails part way leaves a line and
  // gives what came before.
  std::optional<std::vector<std::string>> ListSources();

  // Lets the user choose the source in the manager's dialog; the first call also fetches the
  // system default. True when a source is chosen. A choice made while a source is open takes
  // effect once that source is closed.
  bool SelectSource();

  // Offers one message of the owner's thread to the enabled source and acts on what the source
  // reports (ready pages are transferred here, a close request closes it). Always 0.
  int ProcessMessage(const PlatformMessage& message);

  // Loads the manager library and opens the manager for `window`; true when loaded (even if the
  // manager refused to open).
  bool LoadSourceManager(TW_HANDLE window);
  // Closes source and manager, then releases the library.
  void UnloadSourceManager();

  // The one path to DSM_Entry, with this program's identity as origin. After a call that does not
  // succeed the manager is asked for the status at once. True exactly for TWRC_SUCCESS.
  bool CallSourceManager(pTW_IDENTITY dest, TW_UINT32 group, TW_UINT16 dataType, TW_UINT16 message,
                         TW_MEMREF data);

  bool IsLoaded() const;
  bool IsSourceManagerOpen() const;
  bool IsSourceOpen() const;
  bool IsSourceEnabled() const;
  TW_UINT16 LastReturnCode() const;
  TW_STATUS LastStatus() const;
  TW_IDENTITY SourceIdentity() const;

 private:
  // Fills this program's identity.
  void GetIdentity();
  // Opens the data source (the given identity, or the chosen one when null); true when open.
  bool OpenSource(const TW_IDENTITY* source);
  // What to do with the pending page: kTransfer, kSkip or kCancelAll.
  int DecideTransfer(const TW_IMAGEINFO& info);
  bool DisableSource();
  // Whether a close request of the source is granted.
  bool CanClose();

  bool AskDefaultSource(TW_IDENTITY& identity);
  bool SetTransferCount();
  bool SetCapability(TW_UINT16 capability, TW_UINT16 itemType, TW_UINT32 item);
  bool GetCapability(TW_UINT16 capability, TW_UINT32& item);
  bool EnableSource();
  void OnSourceMessage(TW_UINT16 message);
  void TransferImages();
  bool GetImageInfo(TW_IMAGEINFO& info);
  bool TransferNativeImage(const TW_IMAGEINFO& info);
  bool EndTransfer();
  // Ends a run of pages on a failure: cancels the pending pages and disables the source.
  void AbandonRun();
  bool ResetTransfers();
  bool CloseSource();
  void CloseSourceManager();

  // Recursive because the owner's hand-over may run a nested event loop on the same thread.
  mutable std::recursive_mutex mutex_;

  std::unique_ptr<SourceManagerLibrary> library_;
  bool libraryLoaded_ = false;
  DSMENTRYPROC entry_ = nullptr;
  TW_IDENTITY appIdentity_{};
  TW_IDENTITY sourceIdentity_{};  // addresses the open source; all zero until one is chosen
  TW_STATUS lastStatus_{};
  TW_UINT16 lastReturnCode_ = TWRC_SUCCESS;
  TW_HANDLE parentWindow_ = nullptr;
  bool sourceChosen_ = false;
  bool managerOpen_ = false;
  bool sourceOpen_ = false;
  bool sourceEnabled_ = false;
  TwainOwner& owner_;

  // A selection made while a source was open, applied when it closes: replacing the identity
  // of an open source would leave it unreachable.
  bool selectionPending_ = false;
  TW_IDENTITY pendingIdentity_{};
  bool pendingChosen_ = false;

  // Set while ProcessMessage runs, so that offers from a nested event loop do not start a
  // second transfer loop inside the first.
  bool processing_ = false;

  // Set for the length of a run of transfers, which holds the lock: read without it, so that a
  // second start is refused instead of waiting for the run to end and then taking over.
  std::atomic<bool> transferring_{false};
};

}  // namespace dralmin
