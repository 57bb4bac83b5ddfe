#include "devices/scanning/CTwain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/MemoryHandle.h"

namespace dralmin {
namespace {

// A scripted data source manager: every call is recorded as a readable triplet, and each triplet
// answers through a handler the test may replace.
class FakeManager {
 public:
  using Handler = std::function<TW_UINT16(TW_MEMREF data)>;

  FakeManager() { current_ = this; }
  ~FakeManager() { current_ = nullptr; }

  static TW_UINT16 TW_CALLINGSTYLE Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 group,
                                         TW_UINT16 dataType, TW_UINT16 message, TW_MEMREF data) {
    return current_->Handle(origin, dest, group, dataType, message, data);
  }

  void On(TW_UINT16 dataType, TW_UINT16 message, Handler handler) {
    handlers_[{dataType, message}] = std::move(handler);
  }

  std::vector<std::string> calls;
  std::vector<bool> addressedToSource;  // per call: a destination identity was given
  TW_IDENTITY lastOrigin{};
  TW_UINT16 conditionCode = TWCC_BUMMER;

 private:
  TW_UINT16 Handle(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 group, TW_UINT16 dataType,
                   TW_UINT16 message, TW_MEMREF data) {
    lastOrigin = *origin;
    calls.push_back(Name(group, dataType, message));
    addressedToSource.push_back(dest != nullptr);
    if (dataType == DAT_STATUS) {
      static_cast<TW_STATUS*>(data)->ConditionCode = conditionCode;
      return TWRC_SUCCESS;
    }
    auto handler = handlers_.find({dataType, message});
    if (handler != handlers_.end()) return handler->second(data);
    return message == MSG_PROCESSEVENT ? TWRC_NOTDSEVENT : TWRC_SUCCESS;
  }

  static std::string Name(TW_UINT32 group, TW_UINT16 dataType, TW_UINT16 message) {
    static const std::map<TW_UINT16, std::string> dats = {{DAT_CAPABILITY, "CAPABILITY"},
                                                          {DAT_EVENT, "EVENT"},
                                                          {DAT_IDENTITY, "IDENTITY"},
                                                          {DAT_PARENT, "PARENT"},
                                                          {DAT_PENDINGXFERS, "PENDINGXFERS"},
                                                          {DAT_STATUS, "STATUS"},
                                                          {DAT_USERINTERFACE, "USERINTERFACE"},
                                                          {DAT_IMAGEINFO, "IMAGEINFO"},
                                                          {DAT_IMAGENATIVEXFER, "IMAGENATIVEXFER"}};
    static const std::map<TW_UINT16, std::string> msgs = {{MSG_GET, "GET"},
                                                          {MSG_GETDEFAULT, "GETDEFAULT"},
                                                          {MSG_GETFIRST, "GETFIRST"},
                                                          {MSG_GETNEXT, "GETNEXT"},
                                                          {MSG_SET, "SET"},
                                                          {MSG_RESET, "RESET"},
                                                          {MSG_OPENDSM, "OPENDSM"},
                                                          {MSG_CLOSEDSM, "CLOSEDSM"},
                                                          {MSG_OPENDS, "OPENDS"},
                                                          {MSG_CLOSEDS, "CLOSEDS"},
                                                          {MSG_USERSELECT, "USERSELECT"},
                                                          {MSG_DISABLEDS, "DISABLEDS"},
                                                          {MSG_ENABLEDS, "ENABLEDS"},
                                                          {MSG_PROCESSEVENT, "PROCESSEVENT"},
                                                          {MSG_ENDXFER, "ENDXFER"}};
    const std::string prefix = group == DG_CONTROL ? "CONTROL/"
                               : group == DG_IMAGE ? "IMAGE/"
                                                   : "?/";
    return prefix + dats.at(dataType) + "/" + msgs.at(message);
  }

  static inline FakeManager* current_ = nullptr;
  std::map<std::pair<TW_UINT16, TW_UINT16>, Handler> handlers_;
};

class FakeLibrary final : public SourceManagerLibrary {
 public:
  FakeLibrary(bool present, int& loads, int& unloads)
      : present_(present), loads_(loads), unloads_(unloads) {}
  DSMENTRYPROC Load() override {
    ++loads_;
    return present_ ? &FakeManager::Entry : nullptr;
  }
  void Unload() override { ++unloads_; }

 private:
  bool present_;
  int& loads_;
  int& unloads_;
};

struct Page {
  int32_t width;
  std::string marker;  // written into the page's memory, read back by the owner
};

class RecordingOwner final : public TwainOwner {
 public:
  TW_HANDLE Window() const override { return window; }
  bool OnScannedImage(TW_HANDLE dib) override {
    received.emplace_back(static_cast<const char*>(LockMemory(dib)));
    UnlockMemory(dib);
    if (duringHandOver) duringHandOver();
    return received.size() <= keep;
  }

  TW_HANDLE window = reinterpret_cast<TW_HANDLE>(0x5eed);
  std::vector<std::string> received;
  std::function<void()> duringHandOver;
  std::size_t keep = 1000;  // pages past this many are not kept
};

class CTwainTest : public ::testing::Test {
 protected:
  std::unique_ptr<CTwain> Session(bool present = true) {
    return std::make_unique<CTwain>(owner, std::make_unique<FakeLibrary>(present, loads, unloads));
  }

  // Scripts a source that reports the pages ready on the next offered message and then delivers
  // them in order, with the pending count falling to 0.
  void ScriptPages(std::vector<Page> pages, std::vector<TW_UINT16> transferResults = {}) {
    pages_ = std::move(pages);
    results_ = std::move(transferResults);
    next_ = 0;
    xferReady_ = true;
    fake.On(DAT_EVENT, MSG_PROCESSEVENT, [this](TW_MEMREF data) -> TW_UINT16 {
      auto* event = static_cast<TW_EVENT*>(data);
      if (!xferReady_) return TWRC_NOTDSEVENT;
      xferReady_ = false;
      event->TWMessage = MSG_XFERREADY;
      return TWRC_DSEVENT;
    });
    fake.On(DAT_IMAGEINFO, MSG_GET, [this](TW_MEMREF data) -> TW_UINT16 {
      static_cast<TW_IMAGEINFO*>(data)->ImageWidth = pages_.at(next_).width;
      return TWRC_SUCCESS;
    });
    fake.On(DAT_IMAGENATIVEXFER, MSG_GET, [this](TW_MEMREF data) -> TW_UINT16 {
      const TW_UINT16 result = next_ < results_.size() ? results_[next_] : TWRC_XFERDONE;
      if (result != TWRC_XFERDONE) return result;
      const std::string& marker = pages_.at(next_).marker;
      TW_HANDLE dib = AllocateMemory(marker.size() + 1);
      std::memcpy(LockMemory(dib), marker.c_str(), marker.size() + 1);
      UnlockMemory(dib);
      *static_cast<TW_HANDLE*>(data) = dib;
      return TWRC_XFERDONE;
    });
    fake.On(DAT_PENDINGXFERS, MSG_ENDXFER, [this](TW_MEMREF data) -> TW_UINT16 {
      ++next_;
      static_cast<TW_PENDINGXFERS*>(data)->Count = static_cast<TW_UINT16>(pages_.size() - next_);
      return TWRC_SUCCESS;
    });
  }

  // The run was abandoned: the pending pages reset, then the source disabled, as the last calls.
  void ExpectRunAbandoned() const {
    ASSERT_GE(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls[fake.calls.size() - 2], "CONTROL/PENDINGXFERS/RESET");
    EXPECT_EQ(fake.calls.back(), "CONTROL/USERINTERFACE/DISABLEDS");
  }

  FakeManager fake;
  RecordingOwner owner;
  int loads = 0;
  int unloads = 0;

 private:
  std::vector<Page> pages_;
  std::vector<TW_UINT16> results_;
  std::size_t next_ = 0;
  bool xferReady_ = false;
};

using Calls = std::vector<std::string>;

TEST_F(CTwainTest, WithoutWindowOrLibraryEveryOperationFails) {
  owner.window = nullptr;
  auto noWindow = Session();
  EXPECT_EQ(loads, 0);
  EXPECT_FALSE(noWindow->IsLoaded());
  EXPECT_FALSE(noWindow->Acquire());

  owner.window = reinterpret_cast<TW_HANDLE>(0x5eed);
  auto noLibrary = Session(false);
  EXPECT_EQ(loads, 1);
  EXPECT_FALSE(noLibrary->IsLoaded());
  EXPECT_FALSE(noLibrary->Acquire());
  EXPECT_FALSE(noLibrary->SelectSource());
  EXPECT_EQ(noLibrary->LastReturnCode(), TWRC_FAILURE);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(CTwainTest, AScanThatDoesNotStartSaysWhyInOneLine) {
  fake.On(DAT_USERINTERFACE, MSG_ENABLEDS, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  auto session = Session();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(session->Acquire());
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("scanning: the scan did not start: the source would not be enabled "
                      "(TWAIN return code 1)"),
            std::string::npos)
      << said;
}

TEST_F(CTwainTest, LoadingOpensTheManagerWithTheProgramsIdentity) {
  TW_HANDLE parentSeen = nullptr;
  fake.On(DAT_PARENT, MSG_OPENDSM, [&](TW_MEMREF data) -> TW_UINT16 {
    parentSeen = *static_cast<TW_HANDLE*>(data);
    return TWRC_SUCCESS;
  });
  auto session = Session();
  EXPECT_TRUE(session->IsSourceManagerOpen());
  EXPECT_EQ(fake.calls, Calls{"CONTROL/PARENT/OPENDSM"});
  EXPECT_EQ(parentSeen, owner.window);

  const TW_IDENTITY& id = fake.lastOrigin;
  EXPECT_EQ(+id.Id, 0u);
  EXPECT_EQ(id.Version.MajorNum, 3);
  EXPECT_EQ(id.Version.MinorNum, 5);
  EXPECT_EQ(id.Version.Language, TWLG_USA);
  EXPECT_EQ(id.Version.Country, TWCY_USA);
  EXPECT_STREQ(id.Version.Info, "3.5");
  EXPECT_EQ(id.ProtocolMajor, 1);
  EXPECT_EQ(id.ProtocolMinor, 8);
  EXPECT_EQ(+id.SupportedGroups, 3u);  // packed fields are read by value
  EXPECT_STREQ(id.Manufacturer, "Tavex");
  EXPECT_STREQ(id.ProductFamily, "Generic");
  EXPECT_STREQ(id.ProductName, "Twain Test");
}

TEST_F(CTwainTest, FirstAcquireOpensTheDefaultSourceAndAsksForAnyNumberOfPages) {
  fake.On(DAT_IDENTITY, MSG_GETDEFAULT, [](TW_MEMREF data) -> TW_UINT16 {
    std::strcpy(static_cast<TW_IDENTITY*>(data)->ProductName, "Default Scanner");
    return TWRC_SUCCESS;
  });
  std::string openedName;
  fake.On(DAT_IDENTITY, MSG_OPENDS, [&](TW_MEMREF data) -> TW_UINT16 {
    openedName = static_cast<TW_IDENTITY*>(data)->ProductName;
    return TWRC_SUCCESS;
  });
  TW_CAPABILITY capSeen{};
  TW_ONEVALUE valueSeen{};
  std::size_t containerSize = 0;
  fake.On(DAT_CAPABILITY, MSG_SET, [&](TW_MEMREF data) -> TW_UINT16 {
    capSeen = *static_cast<TW_CAPABILITY*>(data);
    containerSize = MemorySize(capSeen.hContainer);
    std::memcpy(&valueSeen, LockMemory(capSeen.hContainer), sizeof(valueSeen));
    return TWRC_SUCCESS;
  });
  TW_USERINTERFACE uiSeen{};
  fake.On(DAT_USERINTERFACE, MSG_ENABLEDS, [&](TW_MEMREF data) -> TW_UINT16 {
    uiSeen = *static_cast<TW_USERINTERFACE*>(data);
    return TWRC_SUCCESS;
  });

  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/PARENT/OPENDSM", "CONTROL/IDENTITY/GETDEFAULT",
                               "CONTROL/IDENTITY/OPENDS", "CONTROL/CAPABILITY/SET",
                               "CONTROL/USERINTERFACE/ENABLEDS"}));
  // The manager's own calls go to no destination; the source's carry its identity.
  EXPECT_EQ(fake.addressedToSource, (std::vector<bool>{false, false, false, true, true}));
  EXPECT_EQ(openedName, "Default Scanner");
  EXPECT_EQ(capSeen.Cap, CAP_XFERCOUNT);
  EXPECT_EQ(capSeen.ConType, TWON_ONEVALUE);
  EXPECT_GE(containerSize, 6u);
  EXPECT_EQ(valueSeen.ItemType, TWTY_INT16);
  EXPECT_EQ(+valueSeen.Item, 0xFFFFu);
  EXPECT_EQ(uiSeen.ShowUI, TW_TRUE);
  EXPECT_EQ(+uiSeen.hParent, owner.window);
  EXPECT_TRUE(session->IsSourceEnabled());

  // Still enabled from this scan: a second start disables the source and starts it again.
  fake.calls.clear();
  EXPECT_TRUE(session->Acquire());
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/USERINTERFACE/DISABLEDS", "CONTROL/CAPABILITY/SET",
                               "CONTROL/USERINTERFACE/ENABLEDS"}));
  // One that refuses to be disabled is closed and opened again.
  fake.On(DAT_USERINTERFACE, MSG_DISABLEDS, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  fake.calls.clear();
  EXPECT_TRUE(session->Acquire());
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/USERINTERFACE/DISABLEDS", "CONTROL/STATUS/GET",
                               "CONTROL/USERINTERFACE/DISABLEDS", "CONTROL/STATUS/GET",
                               "CONTROL/IDENTITY/CLOSEDS", "CONTROL/IDENTITY/OPENDS",
                               "CONTROL/CAPABILITY/SET", "CONTROL/USERINTERFACE/ENABLEDS"}));
}

TEST_F(CTwainTest, NoSourceInstalledFailsAcquireWithStatusAfterEachFailure) {
  fake.On(DAT_IDENTITY, MSG_GETDEFAULT, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  fake.On(DAT_IDENTITY, MSG_OPENDS, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  fake.conditionCode = TWCC_NODS;
  auto session = Session();
  EXPECT_FALSE(session->Acquire());
  EXPECT_EQ(fake.calls,
            (Calls{"CONTROL/PARENT/OPENDSM", "CONTROL/IDENTITY/GETDEFAULT", "CONTROL/STATUS/GET",
                   "CONTROL/IDENTITY/OPENDS", "CONTROL/STATUS/GET"}));
  EXPECT_EQ(session->LastReturnCode(), TWRC_FAILURE);
  EXPECT_EQ(session->LastStatus().ConditionCode, TWCC_NODS);
  EXPECT_FALSE(session->IsSourceOpen());
}

TEST_F(CTwainTest, CheckStatusToTheCountSetsTheSourcesOwnCountAsUnsigned) {
  std::vector<TW_ONEVALUE> sets;
  fake.On(DAT_CAPABILITY, MSG_SET, [&](TW_MEMREF data) -> TW_UINT16 {
    TW_ONEVALUE value;
    std::memcpy(&value, LockMemory(static_cast<TW_CAPABILITY*>(data)->hContainer), sizeof(value));
    sets.push_back(value);
    return sets.size() == 1 ? TWRC_CHECKSTATUS : TWRC_SUCCESS;
  });
  fake.On(DAT_CAPABILITY, MSG_GET, [](TW_MEMREF data) -> TW_UINT16 {
    auto* cap = static_cast<TW_CAPABILITY*>(data);
    EXPECT_EQ(cap->ConType, TWON_DONTCARE16);
    cap->ConType = TWON_ONEVALUE;
    cap->hContainer = AllocateMemory(sizeof(TW_ONEVALUE));
    const TW_ONEVALUE value{TWTY_INT32, 0x00020007};
    std::memcpy(LockMemory(cap->hContainer), &value, sizeof(value));
    return TWRC_SUCCESS;  // the session frees the container
  });
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/PARENT/OPENDSM", "CONTROL/IDENTITY/GETDEFAULT",
                               "CONTROL/IDENTITY/OPENDS", "CONTROL/CAPABILITY/SET",
                               "CONTROL/STATUS/GET", "CONTROL/CAPABILITY/GET",
                               "CONTROL/CAPABILITY/SET", "CONTROL/USERINTERFACE/ENABLEDS"}));
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1].ItemType, TWTY_UINT16);
  EXPECT_EQ(+sets[1].Item, 0x0007u);  // the low 16 bits of what the source reported
}

TEST_F(CTwainTest, OtherRefusalsOfTheCountFailAcquire) {
  for (TW_UINT16 refusal : {TWRC_FAILURE, TWRC_CANCEL}) {
    fake.calls.clear();
    fake.On(DAT_CAPABILITY, MSG_SET, [=](TW_MEMREF) { return refusal; });
    auto session = Session();
    EXPECT_FALSE(session->Acquire()) << refusal;
    EXPECT_EQ(fake.calls.back(), "CONTROL/STATUS/GET");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CONTROL/CAPABILITY/GET"), 0);
    EXPECT_FALSE(session->IsSourceEnabled());
    EXPECT_TRUE(session->IsSourceOpen());  // an open source is reused by the next Acquire
  }
}

TEST_F(CTwainTest, MessagesAreNotOfferedWhileNoSourceIsEnabled) {
  auto session = Session();
  fake.calls.clear();
  EXPECT_EQ(session->ProcessMessage(PlatformMessage{}), 0);
  EXPECT_TRUE(fake.calls.empty());

  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  PlatformMessage message{owner.window, PlatformMessage::kIdle};
  const void* offered = nullptr;
  fake.On(DAT_EVENT, MSG_PROCESSEVENT, [&](TW_MEMREF data) -> TW_UINT16 {
    offered = static_cast<TW_EVENT*>(data)->pEvent;
    EXPECT_EQ(static_cast<TW_EVENT*>(data)->TWMessage, MSG_NULL);
    return TWRC_NOTDSEVENT;
  });
  EXPECT_EQ(session->ProcessMessage(message), 0);
  EXPECT_EQ(offered, &message);
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/EVENT/PROCESSEVENT", "CONTROL/STATUS/GET"}));

  // A message of the system goes to the manager as itself.
  const int native = 0;
  session->ProcessMessage(PlatformMessage{owner.window, PlatformMessage::kNative, &native});
  EXPECT_EQ(offered, &native);
}

TEST_F(CTwainTest, SeveralPagesAreHandedOverInOrderUntilCountZero) {
  ScriptPages({{2480, "first"}, {640, "second"}, {1001, "third"}});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, (std::vector<std::string>{"first", "second", "third"}));
  const Calls onePage = {"IMAGE/IMAGEINFO/GET", "IMAGE/IMAGENATIVEXFER/GET", "CONTROL/STATUS/GET",
                         "CONTROL/PENDINGXFERS/ENDXFER"};
  Calls expected = {"CONTROL/EVENT/PROCESSEVENT", "CONTROL/STATUS/GET"};
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), onePage.begin(), onePage.end());
  EXPECT_EQ(fake.calls, expected);

  // Back in the enabled state: later messages are offered, nothing more is transferred.
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(fake.calls.front(), "CONTROL/EVENT/PROCESSEVENT");
  EXPECT_EQ(owner.received.size(), 3u);
}

TEST_F(CTwainTest, WidthLimitIsFiftyThousandPixels) {
  ScriptPages({{50000, "widest"}, {50001, "too wide"}, {100, "never"}});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, std::vector<std::string>{"widest"});
  // The too-wide page is not transferred; the run ends there, leaving the source ready to scan.
  EXPECT_EQ(fake.calls,
            (Calls{"CONTROL/EVENT/PROCESSEVENT", "CONTROL/STATUS/GET", "IMAGE/IMAGEINFO/GET",
                   "IMAGE/IMAGENATIVEXFER/GET", "CONTROL/STATUS/GET",
                   "CONTROL/PENDINGXFERS/ENDXFER", "IMAGE/IMAGEINFO/GET",
                   "CONTROL/PENDINGXFERS/RESET", "CONTROL/USERINTERFACE/DISABLEDS"}));
  EXPECT_FALSE(session->IsSourceEnabled());
}

TEST_F(CTwainTest, CancelledTransferEndsOnlyThatPage) {
  ScriptPages({{10, "a"}, {10, "b"}, {10, "c"}}, {TWRC_XFERDONE, TWRC_CANCEL, TWRC_XFERDONE});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CONTROL/PENDINGXFERS/ENDXFER"), 3);
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CONTROL/PENDINGXFERS/RESET"), 0);
}

TEST_F(CTwainTest, FailedTransferCancelsAllPendingPages) {
  ScriptPages({{10, "a"}, {10, "b"}, {10, "c"}}, {TWRC_XFERDONE, TWRC_FAILURE});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, std::vector<std::string>{"a"});
  ExpectRunAbandoned();
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CONTROL/PENDINGXFERS/ENDXFER"), 1);
}

// A page the owner could not keep (its queue full, its disk full) ends the run there.
TEST_F(CTwainTest, APageTheOwnerDoesNotKeepEndsTheRun) {
  ScriptPages({{10, "a"}, {10, "b"}, {10, "c"}});
  owner.keep = 1;
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, (std::vector<std::string>{"a", "b"}));
  ExpectRunAbandoned();
}

TEST_F(CTwainTest, AFailedEndOfTransferEndsTheRunLikeAFailedTransfer) {
  ScriptPages({{10, "a"}, {10, "b"}});
  fake.On(DAT_PENDINGXFERS, MSG_ENDXFER, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, std::vector<std::string>{"a"});
  ExpectRunAbandoned();
  EXPECT_FALSE(session->IsSourceEnabled());
}

TEST_F(CTwainTest, FailingImageInfoIsAskedAFewTimesThenThePagesAreCancelled) {
  ScriptPages({{10, "a"}});
  fake.On(DAT_IMAGEINFO, MSG_GET, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_TRUE(owner.received.empty());
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "IMAGE/IMAGEINFO/GET"),
            CTwain::kImageInfoAttempts);
  ExpectRunAbandoned();
}

TEST_F(CTwainTest, CloseRequestClosesTheSourceAndAcquireOpensItAgain) {
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.calls.clear();
  fake.On(DAT_EVENT, MSG_PROCESSEVENT, [](TW_MEMREF data) -> TW_UINT16 {
    static_cast<TW_EVENT*>(data)->TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  });
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/EVENT/PROCESSEVENT", "CONTROL/STATUS/GET",
                               "CONTROL/USERINTERFACE/DISABLEDS", "CONTROL/IDENTITY/CLOSEDS"}));
  EXPECT_FALSE(session->IsSourceOpen());
  EXPECT_FALSE(session->IsSourceEnabled());
  EXPECT_TRUE(session->IsSourceManagerOpen());

  fake.calls.clear();
  ASSERT_TRUE(session->Acquire());
  // The default was found once; it is not asked for again.
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/IDENTITY/OPENDS", "CONTROL/CAPABILITY/SET",
                               "CONTROL/USERINTERFACE/ENABLEDS"}));
}

TEST_F(CTwainTest, SourceThatRefusesToBeDisabledIsStillClosedAndCanBeStartedAgain) {
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  fake.On(DAT_USERINTERFACE, MSG_DISABLEDS, [](TW_MEMREF) -> TW_UINT16 { return TWRC_FAILURE; });
  fake.On(DAT_EVENT, MSG_PROCESSEVENT, [](TW_MEMREF data) -> TW_UINT16 {
    static_cast<TW_EVENT*>(data)->TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  });
  session->ProcessMessage(PlatformMessage{});
  EXPECT_FALSE(session->IsSourceOpen());
  EXPECT_FALSE(session->IsSourceEnabled());
  EXPECT_TRUE(session->Acquire());
}

TEST_F(CTwainTest, DestructionClosesInnermostFirstAndUnloads) {
  {
    auto session = Session();
    ASSERT_TRUE(session->Acquire());
    fake.calls.clear();
  }
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/USERINTERFACE/DISABLEDS", "CONTROL/IDENTITY/CLOSEDS",
                               "CONTROL/PARENT/CLOSEDSM"}));
  EXPECT_EQ(unloads, 1);
}

TEST_F(CTwainTest, CancelledSelectionKeepsTheChosenFlag) {
  fake.On(DAT_IDENTITY, MSG_GETDEFAULT, [](TW_MEMREF data) -> TW_UINT16 {
    std::strcpy(static_cast<TW_IDENTITY*>(data)->ProductName, "Default Scanner");
    return TWRC_SUCCESS;
  });
  fake.On(DAT_IDENTITY, MSG_USERSELECT, [](TW_MEMREF) -> TW_UINT16 { return TWRC_CANCEL; });
  auto session = Session();
  EXPECT_TRUE(session->SelectSource());  // the default was found
  EXPECT_STREQ(session->SourceIdentity().ProductName, "Default Scanner");

  // Chosen already: the identity is zeroed, the default is not asked again, the flag stays.
  fake.calls.clear();
  EXPECT_TRUE(session->SelectSource());
  EXPECT_EQ(fake.calls, (Calls{"CONTROL/IDENTITY/USERSELECT", "CONTROL/STATUS/GET"}));
  EXPECT_STREQ(session->SourceIdentity().ProductName, "");
}

TEST_F(CTwainTest, SelectionWhileASourceIsOpenWaitsForItToClose) {
  fake.On(DAT_IDENTITY, MSG_GETDEFAULT, [](TW_MEMREF data) -> TW_UINT16 {
    std::strcpy(static_cast<TW_IDENTITY*>(data)->ProductName, "First");
    return TWRC_SUCCESS;
  });
  fake.On(DAT_IDENTITY, MSG_USERSELECT, [](TW_MEMREF data) -> TW_UINT16 {
    std::strcpy(static_cast<TW_IDENTITY*>(data)->ProductName, "Second");
    return TWRC_SUCCESS;
  });
  std::vector<std::string> closed;
  fake.On(DAT_IDENTITY, MSG_CLOSEDS, [&](TW_MEMREF data) -> TW_UINT16 {
    closed.emplace_back(static_cast<TW_IDENTITY*>(data)->ProductName);
    return TWRC_SUCCESS;
  });
  std::vector<std::string> opened;
  fake.On(DAT_IDENTITY, MSG_OPENDS, [&](TW_MEMREF data) -> TW_UINT16 {
    opened.emplace_back(static_cast<TW_IDENTITY*>(data)->ProductName);
    return TWRC_SUCCESS;
  });
  fake.On(DAT_EVENT, MSG_PROCESSEVENT, [](TW_MEMREF data) -> TW_UINT16 {
    static_cast<TW_EVENT*>(data)->TWMessage = MSG_CLOSEDSREQ;
    return TWRC_DSEVENT;
  });

  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  EXPECT_TRUE(session->SelectSource());
  EXPECT_STREQ(session->SourceIdentity().ProductName, "First");  // the open source stays reachable
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(closed, std::vector<std::string>{"First"});
  EXPECT_STREQ(session->SourceIdentity().ProductName, "Second");
  ASSERT_TRUE(session->Acquire());
  EXPECT_EQ(opened, (std::vector<std::string>{"First", "Second"}));
}

TEST_F(CTwainTest, TheSourcesAreListedByProductNameUntilTheManagersListEnds) {
  std::vector<std::string> installed{"Flatbed", ""};  // "": a name that fills its whole field
  std::size_t next = 0;
  TW_UINT16 failure = TWRC_ENDOFLIST;
  const auto give = [&](TW_MEMREF data) -> TW_UINT16 {
    if (next == installed.size()) return failure;
    char* name = static_cast<TW_IDENTITY*>(data)->ProductName;
    std::memset(name, 'x', sizeof(TW_STR32));
    if (!installed[next].empty()) std::strcpy(name, installed[next].c_str());
    ++next;
    return TWRC_SUCCESS;
  };
  fake.On(DAT_IDENTITY, MSG_GETFIRST, [&](TW_MEMREF data) {
    next = 0;
    return give(data);
  });
  fake.On(DAT_IDENTITY, MSG_GETNEXT, give);
  auto session = Session();
  EXPECT_EQ(session->ListSources(), (std::vector<std::string>{"Flatbed", std::string(33, 'x')}));
  installed.clear();
  EXPECT_EQ(session->ListSources(), std::vector<std::string>{});

  // A manager that fails part way gives what came before, and a line; one that never ends its
  // list is not asked for ever.
  installed = {"Flatbed"};
  failure = TWRC_FAILURE;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(session->ListSources(), std::vector<std::string>{"Flatbed"});
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "listing the sources failed after 1 (TWAIN return code 1, condition code 1)"),
            std::string::npos);
  fake.On(DAT_IDENTITY, MSG_GETNEXT, [](TW_MEMREF) -> TW_UINT16 { return TWRC_SUCCESS; });
  EXPECT_EQ(session->ListSources()->size(), CTwain::kMaxListedSources);

  owner.window = nullptr;  // no manager: nothing is listed
  EXPECT_EQ(Session()->ListSources(), std::nullopt);
}

TEST_F(CTwainTest, OffersFromInsideAHandOverAreIgnored) {
  ScriptPages({{10, "a"}, {10, "b"}});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  std::size_t callsDuringHandOver = 0;
  owner.duringHandOver = [&] {
    const std::size_t before = fake.calls.size();
    session->ProcessMessage(PlatformMessage{});  // as a nested event loop would
    callsDuringHandOver += fake.calls.size() - before;
  };
  session->ProcessMessage(PlatformMessage{});
  EXPECT_EQ(owner.received, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(callsDuringHandOver, 0u);
}

// A start while pages are coming (from another thread, or a nested event loop as here) is refused
// at once, and the pages stay with the scan they belong to.
TEST_F(CTwainTest, ASecondStartWhilePagesAreTransferredIsRefused) {
  ScriptPages({{10, "a"}, {10, "b"}, {10, "c"}});
  auto session = Session();
  ASSERT_TRUE(session->Acquire());
  const std::size_t callsBefore = fake.calls.size();
  std::vector<bool> started;
  owner.duringHandOver = [&] {
    EXPECT_TRUE(session->Transferring());
    started.push_back(session->Acquire());
  };
  ::testing::internal::CaptureStderr();
  session->ProcessMessage(PlatformMessage{});
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "the scan under way is still transferring its pages"),
            std::string::npos);
  EXPECT_EQ(owner.received, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(started, (std::vector<bool>{false, false, false}));
  EXPECT_FALSE(session->Transferring());
  EXPECT_EQ(std::count(fake.calls.begin() + static_cast<long>(callsBefore), fake.calls.end(),
                       "CONTROL/USERINTERFACE/DISABLEDS"),
            0);
  EXPECT_TRUE(session->Acquire());  // once they are in, a new scan starts
}

}  // namespace
}  // namespace dralmin
