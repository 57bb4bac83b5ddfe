#include "devices/scanning/CTwain.h"

#include <cstring>
#include <string>
#include <utility>

#include "platform/Log.h"
#include "platform/MemoryHandle.h"
#include "platform/ScopedFlag.h"

namespace dralmin {

namespace {

void CopyName(TW_STR32& field, const char* text) {
  std::memset(field, 0, sizeof(field));
  std::strncpy(field, text, sizeof(field) - 1);
}

// Frees a page's memory however the hand-over ends.
struct DibGuard {
  TW_HANDLE dib;
  ~DibGuard() { FreeMemory(dib); }
};

}  // namespace

CTwain::CTwain(TwainOwner& owner, std::unique_ptr<SourceManagerLibrary> library)
    : library_(std::move(library)), owner_(owner) {
  LoadSourceManager(owner_.Window());
}

CTwain::~CTwain() {
  UnloadSourceManager();
}

bool CTwain::IsLoaded() const {
  std::lock_guard lock(mutex_);
  return libraryLoaded_ && entry_ != nullptr;
}

bool CTwain::IsSourceManagerOpen() const {
  std::lock_guard lock(mutex_);
  return IsLoaded() && managerOpen_;
}

bool CTwain::IsSourceOpen() const {
  std::lock_guard lock(mutex_);
  return IsLoaded() && IsSourceManagerOpen() && sourceOpen_;
}

bool CTwain::IsSourceEnabled() const {
  std::lock_guard lock(mutex_);
  return sourceEnabled_;
}

TW_UINT16 CTwain::LastReturnCode() const {
  std::lock_guard lock(mutex_);
  return lastReturnCode_;
}

TW_STATUS CTwain::LastStatus() const {
  std::lock_guard lock(mutex_);
  return lastStatus_;
}

TW_IDENTITY CTwain::SourceIdentity() const {
  std::lock_guard lock(mutex_);
  return sourceIdentity_;
}

bool CTwain::CallSourceManager(pTW_IDENTITY dest, TW_UINT32 group, TW_UINT16 dataType,
                               TW_UINT16 message, TW_MEMREF data) {
  std::lock_guard lock(mutex_);
  if (!IsLoaded()) {
    lastReturnCode_ = TWRC_FAILURE;
    return false;
  }
  lastReturnCode_ = entry_(&appIdentity_, dest, group, dataType, message, data);
  if (lastReturnCode_ != TWRC_SUCCESS) {
    // The condition code is only kept until the next call, so it is fetched at once.
    entry_(&appIdentity_, dest, DG_CONTROL, DAT_STATUS, MSG_GET, &lastStatus_);
  }
  return lastReturnCode_ == TWRC_SUCCESS;
}

bool CTwain::LoadSourceManager(TW_HANDLE window) {
  std::lock_guard lock(mutex_);
  if (IsLoaded()) return true;
  appIdentity_ = TW_IDENTITY{};
  if (window == nullptr) return false;
  parentWindow_ = window;
  entry_ = library_ ? library_->Load() : nullptr;
  libraryLoaded_ = entry_ != nullptr;
  if (!IsLoaded()) return false;
  GetIdentity();
  managerOpen_ = CallSourceManager(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parentWindow_);
  return true;
}

void CTwain::GetIdentity() {
  appIdentity_ = TW_IDENTITY{};
  appIdentity_.Id = 0;
  appIdentity_.Version.MajorNum = 3;
  appIdentity_.Version.MinorNum = 5;
  appIdentity_.Version.Language = TWLG_USA;
  appIdentity_.Version.Country = TWCY_USA;
  CopyName(appIdentity_.Version.Info, "3.5");
  appIdentity_.ProtocolMajor = 1;
  appIdentity_.ProtocolMinor = 8;
  appIdentity_.SupportedGroups = DG_CONTROL | DG_IMAGE;
  CopyName(appIdentity_.Manufacturer, "Tavex");
  CopyName(appIdentity_.ProductFamily, "Generic");
  CopyName(appIdentity_.ProductName, "Twain Test");
}

bool CTwain::AskDefaultSource(TW_IDENTITY& identity) {
  return CallSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &identity);
}

std::optional<std::vector<std::string>> CTwain::ListSources() {
  std::lock_guard lock(mutex_);
  if (!IsSourceManagerOpen()) return std::nullopt;
  std::vector<std::string> names;
  TW_IDENTITY identity{};
  for (TW_UINT16 message = MSG_GETFIRST;
       names.size() < kMaxListedSources &&
       CallSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, message, &identity);
       message = MSG_GETNEXT) {
    identity.ProductName[sizeof identity.ProductName - 1] = '\0';  // whatever the source wrote
    names.emplace_back(identity.ProductName);
    identity = TW_IDENTITY{};
  }
  if (lastReturnCode_ != TWRC_SUCCESS && lastReturnCode_ != TWRC_ENDOFLIST) {
    LogWarning("scanning", "listing the sources failed after " + std::to_string(names.size()) +
                               " (TWAIN return code " + std::to_string(lastReturnCode_) +
                               ", condition code " + std::to_string(lastStatus_.ConditionCode) +
                               ")");
  }
  return names;
}

bool CTwain::SelectSource() {
  std::lock_guard lock(mutex_);
  const bool deferred = IsSourceOpen();
  TW_IDENTITY& identity = deferred ? pendingIdentity_ : sourceIdentity_;
  bool& chosen = deferred ? pendingChosen_ : sourceChosen_;
  if (deferred && !selectionPending_) pendingChosen_ = sourceChosen_;

  identity = TW_IDENTITY{};
  if (!chosen) chosen = AskDefaultSource(identity);
  if (CallSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &identity)) {
    chosen = true;
  }
  if (deferred) selectionPending_ = true;
  return chosen;
}

bool CTwain::OpenSource(const TW_IDENTITY* source) {
  std::lock_guard lock(mutex_);
  if (source != nullptr) sourceIdentity_ = *source;
  if (IsSourceManagerOpen()) {
    if (!sourceChosen_) sourceChosen_ = AskDefaultSource(sourceIdentity_);
    sourceOpen_ =
        CallSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &sourceIdentity_);
  }
  return IsSourceOpen();
}

bool CTwain::Acquire() {
  if (transferring_) {
    LogWarning("scanning",
               "the scan did not start: the scan under way is still transferring its "
               "pages, which stay its own");
    return false;
  }
  std::lock_guard lock(mutex_);
  // A source may stay enabled after its pages, its window open; the new scan starts it again. One
  // that will not be disabled is closed and opened anew.
  if (sourceEnabled_ && !DisableSource()) CloseSource();
  // The page sees only that no pages come, and the user a box: the reason goes to the log.
  const auto refused = [this](const char* why) {
    LogWarning("scanning", std::string("the scan did not start: ") + why + " (TWAIN return code " +
                               std::to_string(lastReturnCode_) + ")");
    return false;
  };
  if (!IsSourceOpen() && !OpenSource(nullptr)) return refused("no source could be opened");
  if (!SetTransferCount()) return refused("the source took no page count");
  if (!EnableSource()) return refused("the source would not be enabled");
  return true;
}

bool CTwain::SetTransferCount() {
  // -1: the source delivers as many pages as the user scans.
  if (SetCapability(CAP_XFERCOUNT, TWTY_INT16, 0xFFFF)) return true;
  if (lastReturnCode_ != TWRC_CHECKSTATUS) return false;
  // The source would not take -1; keep whatever count it has now.
  TW_UINT32 current = 0;
  if (!GetCapability(CAP_XFERCOUNT, current)) return false;
  return SetCapability(CAP_XFERCOUNT, TWTY_UINT16, current & 0xFFFF);
}

bool CTwain::SetCapability(TW_UINT16 capability, TW_UINT16 itemType, TW_UINT32 item) {
  if (!IsSourceOpen()) {
    lastReturnCode_ = TWRC_FAILURE;
    return false;
  }
  TW_CAPABILITY cap{capability, TWON_ONEVALUE, AllocateMemory(sizeof(TW_ONEVALUE))};
  if (cap.hContainer == nullptr) {
    lastReturnCode_ = TWRC_FAILURE;
    return false;
  }
  const TW_ONEVALUE value{itemType, item};
  std::memcpy(LockMemory(cap.hContainer), &value, sizeof(value));
  UnlockMemory(cap.hContainer);
  const bool ok = CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
  FreeMemory(cap.hContainer);
  return ok;
}

bool CTwain::GetCapability(TW_UINT16 capability, TW_UINT32& item) {
  TW_CAPABILITY cap{capability, TWON_DONTCARE16, nullptr};
  bool ok = CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap);
  if (cap.hContainer == nullptr) return false;
  // The container is the source's memory; read no further than it reaches.
  if (ok && MemorySize(cap.hContainer) >= sizeof(TW_ONEVALUE)) {
    TW_ONEVALUE value;
    std::memcpy(&value, LockMemory(cap.hContainer), sizeof(value));
    UnlockMemory(cap.hContainer);
    item = value.Item;
  } else {
    ok = false;
  }
  FreeMemory(cap.hContainer);
  return ok;
}

bool CTwain::EnableSource() {
  if (!IsSourceOpen() || sourceEnabled_) return false;
  TW_USERINTERFACE ui{TW_TRUE, TW_FALSE, parentWindow_};
  sourceEnabled_ =
      CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  return sourceEnabled_;
}

bool CTwain::DisableSource() {
  std::lock_guard lock(mutex_);
  if (!sourceEnabled_) return false;
  TW_USERINTERFACE ui{TW_FALSE, TW_FALSE, parentWindow_};
  if (!CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui)) {
    return false;
  }
  sourceEnabled_ = false;
  return true;
}

bool CTwain::CanClose() {
  return true;
}

int CTwain::ProcessMessage(const PlatformMessage& message) {
  std::lock_guard lock(mutex_);
  if (!sourceEnabled_ || processing_) return 0;
  ScopedFlag processing(processing_);

  // The manager only reads the message; the protocol's structure has no const. A system message
  // goes as itself, as the manager of that system expects.
  const void* offered = message.native != nullptr ? message.native : &message;
  TW_EVENT event{const_cast<void*>(offered), MSG_NULL};
  CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
  if (lastReturnCode_ != TWRC_NOTDSEVENT) OnSourceMessage(event.TWMessage);
  return 0;
}

void CTwain::OnSourceMessage(TW_UINT16 message) {
  switch (message) {
    case MSG_XFERREADY:
      TransferImages();
      break;
    case MSG_CLOSEDSREQ:
      if (CanClose()) CloseSource();
      break;
    default:
      break;
  }
}

void CTwain::TransferImages() {
  transferring_ = true;
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = false; }
  } done{transferring_};
  bool goOn = true;
  while (goOn) {
    TW_IMAGEINFO info{};
    int attempts = 1;
    while (!GetImageInfo(info)) {
      if (attempts++ == kImageInfoAttempts) {
        AbandonRun();
        return;
      }
    }
    switch (DecideTransfer(info)) {
      case kTransfer:
        goOn = TransferNativeImage(info);
        break;
      case kSkip:
        goOn = EndTransfer();
        break;
      default:  // kCancelAll, and any answer this session does not know
        ResetTransfers();
        goOn = false;
        break;
    }
  }
}

bool CTwain::GetImageInfo(TW_IMAGEINFO& info) {
  if (!sourceEnabled_) return false;
  return CallSourceManager(&sourceIdentity_, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
}

int CTwain::DecideTransfer(const TW_IMAGEINFO&) {
  return kTransfer;
}

bool CTwain::TransferNativeImage(const TW_IMAGEINFO& info) {
  if (info.ImageWidth > kMaxImageWidth) {
    LogWarning("scanning", "a page " + std::to_string(info.ImageWidth) +
                               " pixels wide is more than can be converted; the scan is ended");
    AbandonRun();
    return false;
  }
  TW_HANDLE dib = nullptr;
  CallSourceManager(&sourceIdentity_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
  switch (lastReturnCode_) {
    case TWRC_FAILURE:
      LogWarning("scanning", "the source failed to transfer a page; the scan is ended");
      AbandonRun();
      return false;
    case TWRC_XFERDONE: {
      DibGuard guard{dib};
      if (!owner_.OnScannedImage(dib)) {
        LogWarning("scanning", "the page was not kept; the scan is ended");
        AbandonRun();
        return false;
      }
      break;
    }
    default:  // TWRC_CANCEL and the like: this page only is dropped
      break;
  }
  return EndTransfer();
}

bool CTwain::EndTransfer() {
  TW_PENDINGXFERS pending{};
  if (!CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending)) {
    LogWarning("scanning", "the source did not end a page's transfer; the scan is ended");
    AbandonRun();
    return false;
  }
  return pending.Count != 0;
}

void CTwain::AbandonRun() {
  // Left in the transfer-ready state, the source would refuse every later scan.
  ResetTransfers();
  DisableSource();
}

bool CTwain::ResetTransfers() {
  TW_PENDINGXFERS pending{};
  return CallSourceManager(&sourceIdentity_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
}

bool CTwain::CloseSource() {
  if (!IsSourceOpen()) return false;
  DisableSource();
  const bool ok =
      CallSourceManager(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &sourceIdentity_);
  sourceOpen_ = false;
  // A closed source is no longer enabled, even when it refused to be disabled first (in the
  // middle of a transfer); otherwise every later Acquire would be refused.
  sourceEnabled_ = false;
  if (selectionPending_) {
    sourceIdentity_ = pendingIdentity_;
    sourceChosen_ = pendingChosen_;
    selectionPending_ = false;
  }
  return ok;
}

void CTwain::CloseSourceManager() {
  if (!IsSourceManagerOpen()) return;
  CloseSource();
  CallSourceManager(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parentWindow_);
  managerOpen_ = false;
}

void CTwain::UnloadSourceManager() {
  std::lock_guard lock(mutex_);
  if (!IsLoaded()) return;
  CloseSourceManager();
  library_->Unload();
  libraryLoaded_ = false;
  entry_ = nullptr;
}

}  // namespace dralmin
