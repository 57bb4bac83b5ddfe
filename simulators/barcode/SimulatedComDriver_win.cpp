// The simulated barcode scanner driver for Windows: an out-of-process COM server with the
// driver's class, command interface and events. It sends one scan per line read from its
// standard input (the line's bytes are the code) to every connected sink, and prints each call
// it receives. "/RegServer" and "/UnregServer" register and remove its class and type library
// (under HKLM\Software\Classes); started by COM ("-Embedding") it serves until its last client
// lets go, started by hand it prints "ready" once it serves and ends at the end of its input,
// revoking its class first so that no client is sent to a server that is gone.

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devices/barcode/ScannerDriverCom_win.h"
#include "devices/barcode/driver/ScanDataXml.h"

// COM objects end through Release, never through a destructor of their interfaces.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace dralmin {
namespace {

constexpr short kBarcodeEvent = 1;
constexpr LONG kStatusOk = 0;
constexpr GUID kTypeLibraryId = {
    0x5D1C8A3E, 0x7B42, 0x4E9F, {0x9C, 0x61, 0x2A, 0x8E, 0x0F, 0x4B, 0x7D, 0x13}};
constexpr wchar_t kClassKey[] =
    L"Software\\Classes\\CLSID\\{9F8D4F16-0F61-4A38-98B3-1F6F80F11C87}";

void Report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string Ascii(const wchar_t* text, std::size_t length) {
  std::string narrow;
  narrow.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    narrow.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  }
  return narrow;
}

// Every client gets the one driver object; its connection point holds the sinks of all of them.
class Driver final : public WithoutTypeInfo<IScannerDriverCommands>,
                     public IConnectionPointContainer,
                     public IConnectionPoint {
 public:
  explicit Driver(HANDLE lastClientGone) : lastClientGone_(lastClientGone) {}

  // Sends a ScanDataEvent with `code` to every sink; returns how many took it.
  int Scan(std::string_view code) {
    const std::string xml = ScanDataXml(code, 1);
    const std::wstring wide(xml.begin(), xml.end());  // the XML is ASCII
    VARIANT args[2];
    args[0].vt = VT_BSTR;  // arguments go last first
    args[0].bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    args[1].vt = VT_I2;
    args[1].iVal = kBarcodeEvent;
    DISPPARAMS params{args, nullptr, 2, 0};
    int delivered = 0;
    for (IDispatch* sink : Sinks()) {
      const HRESULT result = sink->Invoke(kScanDataEventId, IID_NULL, LOCALE_USER_DEFAULT,
                                          DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
      if (SUCCEEDED(result)) {
        ++delivered;
      } else {
        std::fprintf(stderr, "a sink refused the scan: 0x%08lX\n",
                     static_cast<unsigned long>(result));
      }
      sink->Release();
    }
    SysFreeString(args[0].bstrVal);
    return delivered;
  }

  // IUnknown, for the three interfaces. Only clients count: the server's own reference is 1.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kScannerDriverCommandsIid)) {
      *object = static_cast<IScannerDriverCommands*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      *object = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPoint)) {
      *object = static_cast<IConnectionPoint*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 1) SetEvent(lastClientGone_);
    return left;
  }

  // The driver is called through its slots only.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  // The command interface.
  HRESULT STDMETHODCALLTYPE OpenScanners(LONG reserved, SAFEARRAY* scannerTypes, LONG count,
                                         LONG* status) override {
    std::string types;
    LONG low = 0;
    LONG high = -1;
    if (scannerTypes != nullptr && SafeArrayGetDim(scannerTypes) == 1) {
      SafeArrayGetLBound(scannerTypes, 1, &low);
      SafeArrayGetUBound(scannerTypes, 1, &high);
    }
    for (LONG i = low; i <= high; ++i) {
      SHORT type = 0;
      SafeArrayGetElement(scannerTypes, &i, &type);
      types += (i > low ? "," : "") + std::to_string(type);
    }
    Report("OpenScanners " + std::to_string(reserved) + " [" + types + "] " +
           std::to_string(count));
    if (status != nullptr) *status = kStatusOk;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CloseScanners(LONG, LONG* status) override {
    if (status != nullptr) *status = kStatusOk;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetScanners(LONG* count, BSTR* outXml, LONG* status) override {
    if (count != nullptr) *count = 1;
    if (outXml != nullptr) *outXml = SysAllocString(L"<scanners><scanner>1</scanner></scanners>");
    if (status != nullptr) *status = kStatusOk;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RunCommand(LONG opcode, BSTR* inXml, BSTR* outXml,
                                       LONG* status) override {
    const BSTR in = inXml != nullptr ? *inXml : nullptr;
    Report("RunCommand " + std::to_string(opcode) + " " + Ascii(in, SysStringLen(in)));
    if (outXml != nullptr) *outXml = SysAllocString(L"<outArgs></outArgs>");
    if (status != nullptr) *status = kStatusOk;
    return S_OK;
  }

  // IConnectionPointContainer: the events are the one connection.
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (point == nullptr) return E_POINTER;
    *point = nullptr;
    if (!IsEqualIID(iid, kScannerDriverEventsIid)) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }

  // IConnectionPoint.
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = kScannerDriverEventsIid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (out == nullptr) return E_POINTER;
    *out = this;
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    // The event interface is what a sink must answer; the dispatch interface is asked for as
    // well, since it is what every process can marshal.
    IDispatch* events = nullptr;
    if (FAILED(sink->QueryInterface(kScannerDriverEventsIid, reinterpret_cast<void**>(&events))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    std::lock_guard lock(mutex_);
    *cookie = ++lastCookie_;
    sinks_.emplace_back(*cookie, events);
    Report("Advise " + std::to_string(*cookie));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    IDispatch* gone = nullptr;
    {
      std::lock_guard lock(mutex_);
      for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->first == cookie) {
          gone = it->second;
          sinks_.erase(it);
          break;
        }
      }
    }
    if (gone == nullptr) return CONNECT_E_NOCONNECTION;
    gone->Release();
    Report("Unadvise " + std::to_string(cookie));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  // The sinks with a reference each, so that a scan is sent without holding the lock.
  std::vector<IDispatch*> Sinks() {
    std::lock_guard lock(mutex_);
    std::vector<IDispatch*> sinks;
    for (const auto& [cookie, sink] : sinks_) {
      sink->AddRef();
      sinks.push_back(sink);
    }
    return sinks;
  }

  HANDLE lastClientGone_;
  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  DWORD lastCookie_ = 0;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(Driver& driver) : driver_(driver) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // Lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return driver_.QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  Driver& driver_;
};

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

int Register() {
  const std::wstring program = ProgramPath();
  const std::wstring server = L"\"" + program + L"\"";
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kClassKey) +
                                   L"\\LocalServer32").c_str(), 0, nullptr, 0, KEY_WRITE,
                                   nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                            static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot register the class: error %ld\n", static_cast<long>(status));
    return 1;
  }
  // The type library in this program's resources: registering it makes COM marshal the command
  // interface for clients in other processes.
  ITypeLib* library = nullptr;
  const HRESULT result = LoadTypeLibEx(program.c_str(), REGKIND_REGISTER, &library);
  if (FAILED(result)) {
    std::fprintf(stderr, "cannot register the type library: 0x%08lX\n",
                 static_cast<unsigned long>(result));
    return 1;
  }
  library->Release();
  Report("registered");
  return 0;
}

int Unregister() {
  UnRegisterTypeLib(kTypeLibraryId, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kClassKey);
    Report("unregistered");
    return 0;
  }
  std::fprintf(stderr, "cannot remove the class: error %ld\n", static_cast<long>(status));
  return 1;
}

// Sends each line of standard input as a scan, as it comes.
void ScanLines(Driver& driver) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    pending.append(chunk, got);
    for (std::size_t end = pending.find('\n'); end != std::string::npos;
         end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      Report("ScanDataEvent to " + std::to_string(driver.Scan(line)) + " sink(s)");
    }
  }
}

bool Is(const char* argument, const char* name) {
  return (argument[0] == '/' || argument[0] == '-') && lstrcmpiA(argument + 1, name) == 0;
}

}  // namespace
}  // namespace dralmin

int main(int argc, char** argv) {
  using namespace dralmin;
  if (argc > 1 && Is(argv[1], "RegServer")) return Register();
  if (argc > 1 && Is(argv[1], "UnregServer")) return Unregister();
  const bool startedByCom = argc > 1 && Is(argv[1], "Embedding");

  // Free-threaded: calls come in on COM's threads while the main thread reads the input.
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  const HANDLE lastClientGone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  Driver driver(lastClientGone);
  Factory factory(driver);
  DWORD registration = 0;
  const HRESULT result = CoRegisterClassObject(kScannerDriverClsid, &factory, CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &registration);
  if (FAILED(result)) {
    std::fprintf(stderr, "cannot serve the driver's class: 0x%08lX\n",
                 static_cast<unsigned long>(result));
    CoUninitialize();
    return 2;
  }
  if (startedByCom) {
    WaitForSingleObject(lastClientGone, INFINITE);
  } else {
    Report("ready");
    ScanLines(driver);
  }
  CoRevokeClassObject(registration);
  CoDisconnectObject(static_cast<IScannerDriverCommands*>(&driver), 0);
  CoUninitialize();
  CloseHandle(lastClientGone);
  return 0;
}
