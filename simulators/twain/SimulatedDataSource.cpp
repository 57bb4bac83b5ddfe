// A data source, "Simulated Scanner", for the data source manager of Windows (TWAIN_32.DLL): a DLL
// exporting DS_Entry, for tests and for people without a scanner. Where the manager loads sources
// by fixed names only, it is installed under one of them (sane.ds in C:\windows\twain_64, or
// twain_32 when built for 32-bit managers).
//
// Its behaviour is set through the environment, read when the manager lists its sources
// (DRALMIN_TWAIN_SIM_NO_SOURCE) and when the source opens (the others):
//   DRALMIN_TWAIN_SIM_PAGES        pages per scan, "BITSxWIDTHxHEIGHT,..." (default 24x850x1100)
//   DRALMIN_TWAIN_SIM_XFERCOUNT    "checkstatus": answer TWRC_CHECKSTATUS to a count of -1;
//                                  "fail": refuse any count
//   DRALMIN_TWAIN_SIM_FAIL_PAGE    page number (from 1) whose transfer fails
//   DRALMIN_TWAIN_SIM_CANCEL_PAGE  page number (from 1) whose transfer is cancelled
//   DRALMIN_TWAIN_SIM_NO_SOURCE    "1": the source is not there
//   DRALMIN_TWAIN_SIM_CLOSE        "1": ask to be closed once the pages are delivered
//   DRALMIN_TWAIN_SIM_READY        how the source tells that pages are ready: "message" (default)
//                                  answers the next message the application offers; "notify"
//                                  tells the manager (DAT_NULL), which posts its own message to
//                                  the application's window.
// Page memory is global memory, which the application frees with GlobalFree.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SimulatedPages.h"
#include "devices/scanning/Twain.h"

namespace dralmin::sim {

namespace {

constexpr const char* kSourceName = "Simulated Scanner";

TW_HANDLE TW_CALLINGSTYLE MemAllocate(TW_UINT32 size) {
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
}
TW_MEMREF TW_CALLINGSTYLE MemLock(TW_HANDLE handle) {
  return GlobalLock(handle);
}
void TW_CALLINGSTYLE MemUnlock(TW_HANDLE handle) {
  GlobalUnlock(handle);
}

// The environment of the process, read through the system: the application's C runtime may keep
// its own copy.
std::string Env(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

int EnvNumber(const char* name) {
  return std::atoi(Env(name).c_str());
}

void SetName(TW_STR32& field, const char* text) {
  std::memset(field, 0, sizeof(field));
  std::strncpy(field, text, sizeof(field) - 1);
}

// Fills everything but the Id, which the manager assigns.
void DescribeSource(TW_IDENTITY& id) {
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
}

// The protocol's states as the source sees them: 4 open, 5 enabled, 6 transfer ready,
// 7 transferring. The manager keeps the source's calls on one thread at a time only as far as the
// application does; the application here serialises its own.
class Source {
 public:
  TW_UINT16 Entry(pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dataType, TW_UINT16 message,
                  TW_MEMREF data) {
    if (group == DG_CONTROL && dataType == DAT_STATUS && message == MSG_GET) {
      if (data == nullptr) return Fail(TWCC_BADVALUE);
      auto* status = static_cast<TW_STATUS*>(data);
      status->ConditionCode = condition_;
      status->Data = 0;
      condition_ = TWCC_SUCCESS;
      return TWRC_SUCCESS;
    }
    condition_ = TWCC_SUCCESS;
    if (data == nullptr) return Fail(TWCC_BADVALUE);
    if (group == DG_CONTROL && dataType == DAT_IDENTITY) {
      return Identity(origin, message, *static_cast<TW_IDENTITY*>(data));
    }
    if (state_ < 4) return Fail(TWCC_SEQERROR);
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

 private:
  TW_UINT16 Fail(TW_UINT16 condition) {
    condition_ = condition;
    return TWRC_FAILURE;
  }

  TW_UINT16 Identity(pTW_IDENTITY origin, TW_UINT16 message, TW_IDENTITY& identity) {
    switch (message) {
      case MSG_GET:  // the manager lists its sources
        if (Env("DRALMIN_TWAIN_SIM_NO_SOURCE") == "1") return Fail(TWCC_NODS);
        DescribeSource(identity);
        return TWRC_SUCCESS;
      case MSG_OPENDS:
        if (state_ != 3 || origin == nullptr) return Fail(TWCC_SEQERROR);
        DescribeSource(identity);
        self_ = identity;
        application_ = *origin;
        Configure();
        state_ = 4;
        return TWRC_SUCCESS;
      case MSG_CLOSEDS:
        // Also in the middle of a run: the manager may keep this library loaded for the next
        // opening, which must find it closed.
        if (state_ < 4) return Fail(TWCC_SEQERROR);
        announced_ = MSG_NULL;
        state_ = 3;
        return TWRC_SUCCESS;
      default:
        return Fail(TWCC_BADPROTOCOL);
    }
  }

  void Configure() {
    const std::string pages = Env("DRALMIN_TWAIN_SIM_PAGES");
    pages_ = ParsePages(pages.empty() ? "24x850x1100" : pages);
    const std::string count = Env("DRALMIN_TWAIN_SIM_XFERCOUNT");
    checkStatusCount_ = count == "checkstatus";
    refuseCount_ = count == "fail";
    failPage_ = EnvNumber("DRALMIN_TWAIN_SIM_FAIL_PAGE");
    cancelPage_ = EnvNumber("DRALMIN_TWAIN_SIM_CANCEL_PAGE");
    closeAfterPages_ = Env("DRALMIN_TWAIN_SIM_CLOSE") == "1";
    notify_ = Env("DRALMIN_TWAIN_SIM_READY") == "notify";
    transferCount_ = static_cast<int>(pages_.size());
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
      window_ = static_cast<HWND>(ui.hParent);
      next_ = 0;
      const std::size_t wanted =
          transferCount_ < 0 ? pages_.size() : static_cast<std::size_t>(transferCount_);
      pending_ = wanted < pages_.size() ? wanted : pages_.size();
      closeRequest_ = closeAfterPages_;
      state_ = 5;
      // The user "presses Scan" at once.
      if (pending_ > 0) Announce(MSG_XFERREADY);
      return TWRC_SUCCESS;
    }
    if (message == MSG_DISABLEDS) {
      if (state_ != 5) return Fail(TWCC_SEQERROR);
      announced_ = MSG_NULL;
      state_ = 4;
      return TWRC_SUCCESS;
    }
    return Fail(TWCC_BADPROTOCOL);
  }

  // Tells the application of pages ready or a wish to be closed: through the manager, or as the
  // answer to the next message offered, of which the source makes sure there is one (its own
  // window's messages would be on a real scanner).
  void Announce(TW_UINT16 message) {
    if (message == MSG_XFERREADY) state_ = 6;
    if (notify_) {
      const auto entry = reinterpret_cast<DSMENTRYPROC>(
          reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("twain_32.dll"), "DSM_Entry")));
      if (entry != nullptr) entry(&self_, &application_, DG_CONTROL, DAT_NULL, message, nullptr);
      return;
    }
    announced_ = message;
    if (window_ != nullptr) PostMessageA(window_, WM_NULL, 0, 0);
  }

  TW_UINT16 ProcessEvent(TW_EVENT& event) {
    if (state_ < 5) return Fail(TWCC_SEQERROR);
    if (event.pEvent == nullptr) return Fail(TWCC_BADVALUE);
    event.TWMessage = MSG_NULL;
    if (announced_ == MSG_NULL) return TWRC_NOTDSEVENT;
    event.TWMessage = announced_;
    announced_ = MSG_NULL;
    return TWRC_DSEVENT;
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
    if (state_ == 5 && closeRequest_) {
      closeRequest_ = false;
      Announce(MSG_CLOSEDSREQ);
    }
    return TWRC_SUCCESS;
  }

  int state_ = 3;  // the manager is open whenever it calls a source
  TW_UINT16 condition_ = TWCC_SUCCESS;
  TW_IDENTITY self_{};
  TW_IDENTITY application_{};
  HWND window_ = nullptr;

  std::vector<PageFormat> pages_;
  bool checkStatusCount_ = false;
  bool refuseCount_ = false;
  int failPage_ = 0;
  int cancelPage_ = 0;
  bool closeAfterPages_ = false;
  bool notify_ = false;
  int transferCount_ = -1;

  std::size_t next_ = 0;     // the page the next transfer delivers
  std::size_t pending_ = 0;  // pages left in this scan
  TW_UINT16 announced_ = MSG_NULL;  // the answer to the next offered message
  bool closeRequest_ = false;
};

Source source;

}  // namespace

}  // namespace dralmin::sim

extern "C" __declspec(dllexport) dralmin::TW_UINT16 TW_CALLINGSTYLE DS_Entry(
    dralmin::pTW_IDENTITY origin, dralmin::TW_UINT32 group, dralmin::TW_UINT16 dataType,
    dralmin::TW_UINT16 message, dralmin::TW_MEMREF data) {
  return dralmin::sim::source.Entry(origin, group, dataType, message, data);
}
