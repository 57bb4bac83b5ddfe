#include "devices/barcode/ComScannerDriver_win.h"

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "devices/barcode/ScannerDriverCom_win.h"
#include "platform/Log.h"
#include "platform/WideText.h"

// COM objects end through Release, never through a destructor of their interfaces.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace dralmin {
namespace {

std::string HresultText(HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  const std::string text = SystemErrorText(static_cast<unsigned long>(result));
  return text.empty() ? code : text + " (" + code + ")";
}

// Text the driver sends is handed on in the system's ANSI code page, as the driver's own
// automation clients receive it.
std::string AnsiText(BSTR text) {
  const int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// The sink the driver calls: an automation object that hands each event to the agent's events.
// The driver holds references of its own, so the sink can outlive the connection; once detached
// it takes every event and does nothing.
class EventDispatch final : public WithoutTypeInfo<IDispatch> {
 public:
  explicit EventDispatch(ScannerDriverEvents& events) : events_(&events) {}

  void Detach() { events_ = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kScannerDriverEventsIid)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT* badArgument) override {
    if (member != kScanDataEventId && member != kScanCmdResponseEventId) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (params == nullptr || params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
    // Arguments come last first: a 16-bit integer, then the text.
    VARIANT number;
    VARIANT text;
    VariantInit(&number);
    VariantInit(&text);
    HRESULT result = VariantChangeType(&number, &params->rgvarg[1], 0, VT_I2);
    if (FAILED(result)) {
      if (badArgument != nullptr) *badArgument = 1;
      return DISP_E_TYPEMISMATCH;
    }
    result = VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR);
    if (FAILED(result)) {
      if (badArgument != nullptr) *badArgument = 0;
      return DISP_E_TYPEMISMATCH;
    }
    const std::string narrow = AnsiText(text.bstrVal);
    VariantClear(&text);
    if (events_ != nullptr) {
      if (member == kScanDataEventId) {
        events_->OnScanData(number.iVal, narrow);
      } else {
        events_->OnScanCmdResponse(number.iVal, narrow);
      }
    }
    return S_OK;
  }

 private:
  ~EventDispatch() = default;

  std::atomic<ULONG> references_{1};
  ScannerDriverEvents* events_;  // the apartment's thread alone reads and clears it
};

// Releases a COM interface at the end of a scope.
template <typename Interface>
struct Held {
  Interface* pointer = nullptr;
  ~Held() {
    if (pointer != nullptr) pointer->Release();
  }
  void** Out() { return reinterpret_cast<void**>(&pointer); }
};

}  // namespace

struct ComScannerDriver::Com {
  IScannerDriverCommands* driver = nullptr;  // one reference
  IConnectionPoint* events = nullptr;        // one reference while advised
  EventDispatch* sink = nullptr;             // one reference while advised
  DWORD cookie = 0;                          // non-zero while advised
};

std::unique_ptr<ScannerDriver> ComScannerDriver::Create() {
  auto com = std::make_unique<Com>();
  const HRESULT result =
      CoCreateInstance(kScannerDriverClsid, nullptr, CLSCTX_ALL, kScannerDriverCommandsIid,
                       reinterpret_cast<void**>(&com->driver));
  if (FAILED(result)) {
    if (result == REGDB_E_CLASSNOTREG) {
      LogWarning("barcode",
                 "no barcode scanner driver: its COM class is not registered; no barcode "
                 "arrives until the agent starts again with a driver installed");
    } else {
      LogWarning("barcode", "no barcode scanner driver: creating its COM object failed: " +
                                HresultText(result) + "; no barcode arrives");
    }
    return nullptr;
  }
  return std::unique_ptr<ScannerDriver>(new ComScannerDriver(std::move(com)));
}

ComScannerDriver::ComScannerDriver(std::unique_ptr<Com> com) : com_(std::move(com)) {}

ComScannerDriver::~ComScannerDriver() {
  Unadvise();
  com_->driver->Release();
}

bool ComScannerDriver::Advise(ScannerDriverEvents& events) {
  Unadvise();
  Held<IConnectionPointContainer> container;
  HRESULT result = com_->driver->QueryInterface(IID_IConnectionPointContainer, container.Out());
  if (SUCCEEDED(result)) {
    result = container.pointer->FindConnectionPoint(kScannerDriverEventsIid, &com_->events);
  }
  if (SUCCEEDED(result)) {
    com_->sink = new EventDispatch(events);
    result = com_->events->Advise(com_->sink, &com_->cookie);
  }
  if (FAILED(result)) {
    LogWarning("barcode", "the barcode scanner driver takes no event sink: " +
                              HresultText(result) + "; no barcode arrives");
    LetGoOfEvents();
    return false;
  }
  return true;
}

void ComScannerDriver::Unadvise() {
  if (com_->cookie == 0) return;
  // A driver that went away answers with an error; the connection is gone with it.
  com_->events->Unadvise(com_->cookie);
  LetGoOfEvents();
}

void ComScannerDriver::LetGoOfEvents() {
  if (com_->sink != nullptr) {
    com_->sink->Detach();
    com_->sink->Release();
    com_->sink = nullptr;
  }
  if (com_->events != nullptr) {
    com_->events->Release();
    com_->events = nullptr;
  }
  com_->cookie = 0;
}

int32_t ComScannerDriver::OpenScanners(int32_t reserved, const std::vector<int16_t>& scannerTypes,
                                       int32_t count, int32_t& status) {
  SAFEARRAYBOUND bound{static_cast<ULONG>(scannerTypes.size()), 0};
  SAFEARRAY* types = SafeArrayCreate(VT_I2, 1, &bound);
  if (types == nullptr) throw std::bad_alloc();
  for (LONG i = 0; i < static_cast<LONG>(scannerTypes.size()); ++i) {
    SHORT type = scannerTypes[static_cast<std::size_t>(i)];
    SafeArrayPutElement(types, &i, &type);
  }
  LONG answer = 0;
  const HRESULT result = com_->driver->OpenScanners(reserved, types, count, &answer);
  SafeArrayDestroy(types);
  status = answer;
  return static_cast<int32_t>(result);
}

int32_t ComScannerDriver::RunCommand(int32_t opcode, const std::string& inXml,
                                     std::string& outXml, int32_t& status) {
  const std::wstring wide = Widen(inXml);
  BSTR input = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (input == nullptr) throw std::bad_alloc();
  BSTR output = nullptr;
  LONG answer = 0;
  const HRESULT result = com_->driver->RunCommand(opcode, &input, &output, &answer);
  SysFreeString(input);
  outXml = output != nullptr ? Narrow(std::wstring_view(output, SysStringLen(output))) : "";
  SysFreeString(output);
  status = answer;
  return static_cast<int32_t>(result);
}

}  // namespace dralmin
