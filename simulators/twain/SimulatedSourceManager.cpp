// A data source manager with one simulated source, "Simulated Scanner", for tests and for people
// without a scanner. Its behaviour is set through the environment, read when the source opens
// (DRALMIN_TWAIN_SIM_NO_SOURCE and DRALMIN_TWAIN_SIM_USERSELECT when they are asked for):
//   DRALMIN_TWAIN_SIM_PAGES        pages per scan, "BITSxWIDTHxHEIGHT,..." (default 24x850x1100)
//   DRALMIN_TWAIN_SIM_XFERCOUNT    "checkstatus": answer TWRC_CHECKSTATUS to a count of -1;
//                                  "fail": refuse any count
//   DRALMIN_TWAIN_SIM_FAIL_PAGE    page number (from 1) whose transfer fails
//   DRALMIN_TWAIN_SIM_CANCEL_PAGE  page number (from 1) whose transfer is cancelled
//   DRALMIN_TWAIN_SIM_NO_SOURCE    "1": no source is installed
//   DRALMIN_TWAIN_SIM_USERSELECT   "cancel": the user cancels the selection dialog
//   DRALMIN_TWAIN_SIM_CLOSE        "1": ask to be closed once the pages are delivered
// Page memory comes from the manager's memory entry points, which on this platform are calloc
// and free: the application frees a transferred page with free.

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "SimulatedPages.h"
#include "devices/scanning/Twain.h"

namespace dralmin::sim {

namespace {

constexpr TW_UINT32 kSourceId = 1;
constexpr const char* kSourceName = "Simulated Scanner";

TW_HANDLE TW_CALLINGSTYLE MemAllocate(TW_UINT32 size) {
  return std::calloc(size == 0 ? 1 : size, 1);
}
void TW_CALLINGSTYLE MemFree(TW_HANDLE handle) {
  std::free(handle);
}
TW_MEMREF TW_CALLINGSTYLE MemLock(TW_HANDLE handle) {
  return handle;
}
void TW_CALLINGSTYLE MemUnlock(TW_HANDLE) {}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

int EnvNumber(const char* name) {
  return std::atoi(Env(name).c_str());
}

void SetName(TW_STR32& field, const char* text) {
  std::memset(field, 0, sizeof(field));
  std::strncpy(field, text, sizeof(field) - 1);
}

TW_IDENTITY SourceIdentity() {
  TW_IDENTITY id{};
  id.Id = kSourceId;
  id.Version.MajorNum = 1;
  id.Version.MinorNum = 0;
  id.Version.Language = TWLG_USA;
  id.Version.Country = TWCY_USA;
  SetName(id.Version.Info, "1.0");
  id.ProtocolMajor = 1;
  id.ProtocolMinor = 9;
  id.SupportedGroups = DG_CONTROL | DG_IMAGE;
  SetName(id.Manufacturer, "Dralmin");
  SetName(id.ProductFamily, "Simulator");
  SetName(id.ProductName, kSourceName);
  return id;
}

// The protocol's states: 3 manager open, 4 source open, 5 enabled, 6 transfer ready,
// 7 transferring.
class Manager {
 public:
  TW_UINT16 Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 group, TW_UINT16 dataType,
                  TW_UINT16 message, TW_MEMREF data) {
    std::lock_guard lock(mutex_);
    if (origin == nullptr) return Fail(TWCC_BADPROTOCOL);
    if (group == DG_CONTROL && dataType == DAT_STATUS && message == MSG_GET) {
      if (data == nullptr) return Fail(TWCC_BADVALUE);
      auto* status = static_cast<TW_STATUS*>(data);
      status->ConditionCode = condition_;
      status->Data = 0;
      condition_ = TWCC_SUCCESS;
      return TWRC_SUCCESS;
    }
    condition_ = TWCC_SUCCESS;
    if (dest == nullptr) return ToManager(group, dataType, message, data);
    if (state_ < 4) return Fail(TWCC_SEQERROR);
    if (dest->Id != kSourceId) return Fail(TWCC_BADDEST);
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    return ToSource(group, dataType, message, data);
  }

 private:
  TW_UINT16 Fail(TW_UINT16 condition) {
    condition_ = condition;
    return TWRC_FAILURE;
  }

  TW_UINT16 ToManager(TW_UINT32 group, TW_UINT16 dataType, TW_UINT16 message, TW_MEMREF data) {
    if (group != DG_CONTROL) return Fail(TWCC_BADPROTOCOL);
    switch (dataType) {
      case DAT_PARENT:
        return Parent(message, data);
      case DAT_IDENTITY:
        return Identity(message, data);
      case DAT_ENTRYPOINT:
        return EntryPoint(message, data);
      default:
        return Fail(TWCC_BADPROTOCOL);
    }
  }

  TW_UINT16 Parent(TW_UINT16 message, TW_MEMREF data) {
    if (message == MSG_OPENDSM) {
      if (state_ != 2) return Fail(TWCC_SEQERROR);
      if (data == nullptr || *static_cast<TW_HANDLE*>(data) == nullptr) {
        return Fail(TWCC_BADVALUE);
      }
      state_ = 3;
      return TWRC_SUCCESS;
    }
    if (message == MSG_CLOSEDSM) {
      if (state_ != 3) return Fail(TWCC_SEQERROR);
      state_ = 2;
      return TWRC_SUCCESS;
    }
    return Fail(TWCC_BADPROTOCOL);
  }

  TW_UINT16 Identity(TW_UINT16 message, TW_MEMREF data) {
    if (state_ < 3) return Fail(TWCC_SEQERROR);
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    auto* identity = static_cast<TW_IDENTITY*>(data);
    const bool installed = Env("DRALMIN_TWAIN_SIM_NO_SOURCE") != "1";
    switch (message) {
      case MSG_GETDEFAULT:
      case MSG_GETFIRST:
        if (!installed) return message == MSG_GETFIRST ? TWRC_ENDOFLIST : Fail(TWCC_NODS);
        *identity = SourceIdentity();
        return TWRC_SUCCESS;
      case MSG_GETNEXT:
        return TWRC_ENDOFLIST;
      case MSG_USERSELECT:
        if (!installed) return Fail(TWCC_NODS);
        if (Env("DRALMIN_TWAIN_SIM_USERSELECT") == "cancel") return TWRC_CANCEL;
        *identity = SourceIdentity();
        return TWRC_SUCCESS;
      case MSG_OPENDS:
        return OpenSource(*identity, installed);
      case MSG_CLOSEDS:
        if (state_ != 4) return Fail(TWCC_SEQERROR);
        if (identity->Id != kSourceId) return Fail(TWCC_BADDEST);
        state_ = 3;
        return TWRC_SUCCESS;
      default:
        return Fail(TWCC_BADPROTOCOL);
    }
  }

  TW_UINT16 OpenSource(TW_IDENTITY& identity, bool installed) {
    if (state_ != 3) return Fail(TWCC_SEQERROR);
    // An empty product name asks for the default source.
    if (!installed ||
        (identity.ProductName[0] != '\0' && std::strcmp(identity.ProductName, kSourceName) != 0)) {
      return Fail(TWCC_NODS);
    }
    identity = SourceIdentity();
    const std::string pages = Env("DRALMIN_TWAIN_SIM_PAGES");
    pages_ = ParsePages(pages.empty() ? "24x850x1100" : pages);
    const std::string count = Env("DRALMIN_TWAIN_SIM_XFERCOUNT");
    checkStatusCount_ = count == "checkstatus";
    refuseCount_ = count == "fail";
    failPage_ = EnvNumber("DRALMIN_TWAIN_SIM_FAIL_PAGE");
    cancelPage_ = EnvNumber("DRALMIN_TWAIN_SIM_CANCEL_PAGE");
    closeAfterPages_ = Env("DRALMIN_TWAIN_SIM_CLOSE") == "1";
    transferCount_ = static_cast<int>(pages_.size());
    state_ = 4;
    return TWRC_SUCCESS;
  }

  TW_UINT16 EntryPoint(TW_UINT16 message, TW_MEMREF data) {
    if (message != MSG_GET) return Fail(TWCC_BADPROTOCOL);
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    auto* entry = static_cast<TW_ENTRYPOINT*>(data);
    entry->DSM_MemAllocate = MemAllocate;
    entry->DSM_MemFree = MemFree;
    entry->DSM_MemLock = MemLock;
    entry->DSM_MemUnlock = MemUnlock;
    return TWRC_SUCCESS;
  }

  TW_UINT16 ToSource(TW_UINT32 group, TW_UINT16 dataType, TW_UINT16 message, TW_MEMREF data) {
    if (group == DG_CONTROL && dataType == DAT_CAPABILITY) {
      return Capability(message, *static_cast<TW_CAPABILITY*>(data));
    }
    if (group == DG_CONTROL && dataType == DAT_USERINTERFACE) {
      return UserInterface(message, *static_cast<TW_USERINTERFACE*>(data));
    }
    if (group == DG_CONTROL && dataType == DAT_EVENT && message == MSG_PROCESSEVENT) {
      return ProcessEvent(*static_cast<TW_EVENT*>(data));
    }
    if (group == DG_IMAGE && dataType == DAT_IMAGEINFO && message == MSG_GET) {
      if (state_ != 6) return Fail(TWCC_SEQERROR);
      *static_cast<TW_IMAGEINFO*>(data) = ImageInfoOf(pages_[next_]);
      return TWRC_SUCCESS;
    }
    if (group == DG_IMAGE && dataType == DAT_IMAGENATIVEXFER && message == MSG_GET) {
      return NativeTransfer(*static_cast<TW_HANDLE*>(data));
    }
    if (group == DG_CONTROL && dataType == DAT_PENDINGXFERS) {
      return PendingTransfers(message, *static_cast<TW_PENDINGXFERS*>(data));
    }
    return Fail(TWCC_BADPROTOCOL);
  }

  TW_UINT16 Capability(TW_UINT16 message, TW_CAPABILITY& cap) {
    if (cap.Cap != CAP_XFERCOUNT) return Fail(TWCC_BADCAP);
    if (message == MSG_GET) {
      cap.ConType = TWON_ONEVALUE;
      cap.hContainer = MemAllocate(sizeof(TW_ONEVALUE));
      if (cap.hContainer == nullptr) return Fail(TWCC_LOWMEMORY);
      const TW_ONEVALUE value{TWTY_INT16, static_cast<TW_UINT32>(transferCount_ & 0xFFFF)};
      std::memcpy(MemLock(cap.hContainer), &value, sizeof(value));
      MemUnlock(cap.hContainer);
      return TWRC_SUCCESS;
    }
    if (message != MSG_SET) return Fail(TWCC_BADPROTOCOL);
    if (state_ != 4) return Fail(TWCC_SEQERROR);
    if (cap.ConType != TWON_ONEVALUE || cap.hContainer == nullptr) return Fail(TWCC_BADVALUE);
    TW_ONEVALUE value;
    std::memcpy(&value, MemLock(cap.hContainer), sizeof(value));
    MemUnlock(cap.hContainer);
    if (refuseCount_) return Fail(TWCC_BADVALUE);
    if (value.ItemType == TWTY_INT16 && (value.Item & 0xFFFF) == 0xFFFF) {
      if (checkStatusCount_) return TWRC_CHECKSTATUS;
      transferCount_ = -1;
      return TWRC_SUCCESS;
    }
    const int count = static_cast<int>(value.Item & 0xFFFF);
    if ((value.ItemType != TWTY_INT16 && value.ItemType != TWTY_UINT16) || count == 0) {
      return Fail(TWCC_BADVALUE);
    }
    transferCount_ = count;
    return TWRC_SUCCESS;
  }

  TW_UINT16 UserInterface(TW_UINT16 message, TW_USERINTERFACE& ui) {
    if (message == MSG_ENABLEDS) {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      ui.ModalUI = TW_FALSE;
      next_ = 0;
      const std::size_t wanted =
          transferCount_ < 0 ? pages_.size() : static_cast<std::size_t>(transferCount_);
      pending_ = wanted < pages_.size() ? wanted : pages_.size();
      announce_ = pending_ > 0;
      closeRequest_ = closeAfterPages_;
      state_ = 5;
      return TWRC_SUCCESS;
    }
    if (message == MSG_DISABLEDS) {
      if (state_ != 5) return Fail(TWCC_SEQERROR);
      state_ = 4;
      return TWRC_SUCCESS;
    }
    return Fail(TWCC_BADPROTOCOL);
  }

  TW_UINT16 ProcessEvent(TW_EVENT& event) {
    if (state_ < 5) return Fail(TWCC_SEQERROR);
    if (event.pEvent == nullptr) return Fail(TWCC_BADVALUE);
    event.TWMessage = MSG_NULL;
    if (state_ == 5 && announce_) {
      announce_ = false;
      state_ = 6;
      event.TWMessage = MSG_XFERREADY;
      return TWRC_DSEVENT;
    }
    if (state_ == 5 && pending_ == 0 && closeRequest_) {
      closeRequest_ = false;
      event.TWMessage = MSG_CLOSEDSREQ;
      return TWRC_DSEVENT;
    }
    return TWRC_NOTDSEVENT;
  }

  TW_UINT16 NativeTransfer(TW_HANDLE& dib) {
    if (state_ != 6) return Fail(TWCC_SEQERROR);
    const int number = static_cast<int>(next_) + 1;
    if (number == failPage_) return Fail(TWCC_OPERATIONERROR);
    state_ = 7;
    if (number == cancelPage_) return TWRC_CANCEL;
    dib = DrawPage(pages_[next_], MemAllocate, MemLock, MemUnlock);
    if (dib == nullptr) {
      state_ = 6;
      return Fail(TWCC_LOWMEMORY);
    }
    return TWRC_XFERDONE;
  }

  TW_UINT16 PendingTransfers(TW_UINT16 message, TW_PENDINGXFERS& pending) {
    if (state_ != 6 && state_ != 7) return Fail(TWCC_SEQERROR);
    if (message == MSG_ENDXFER) {
      ++next_;
      --pending_;
    } else if (message == MSG_RESET) {
      pending_ = 0;
    } else {
      return Fail(TWCC_BADPROTOCOL);
    }
    pending.Count = static_cast<TW_UINT16>(pending_);
    pending.EOJ = 0;
    state_ = pending_ == 0 ? 5 : 6;
    return TWRC_SUCCESS;
  }

  std::mutex mutex_;
  int state_ = 2;  // loaded: the library is in memory
  TW_UINT16 condition_ = TWCC_SUCCESS;

  std::vector<PageFormat> pages_;
  bool checkStatusCount_ = false;
  bool refuseCount_ = false;
  int failPage_ = 0;
  int cancelPage_ = 0;
  bool closeAfterPages_ = false;
  int transferCount_ = -1;

  std::size_t next_ = 0;     // the page the next transfer delivers
  std::size_t pending_ = 0;  // pages left in this scan
  bool announce_ = false;    // the next offered message reports the pages ready
  bool closeRequest_ = false;
};

Manager manager;

}  // namespace

}  // namespace dralmin::sim

extern "C" __attribute__((visibility("default"))) dralmin::TW_UINT16 TW_CALLINGSTYLE DSM_Entry(
    dralmin::pTW_IDENTITY origin, dralmin::pTW_IDENTITY dest, dralmin::TW_UINT32 group,
    dralmin::TW_UINT16 dataType, dralmin::TW_UINT16 message, dralmin::TW_MEMREF data) {
  return dralmin::sim::manager.Entry(origin, dest, group, dataType, message, data);
}
