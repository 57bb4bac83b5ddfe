// The agent's side of the COM driver, against a driver object registered in this process: the
// calls arrive at the driver's slots with the arguments a driver expects, and its events reach
// the pending code.

#include "devices/barcode/ComScannerDriver_win.h"

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/barcode/CScannerCommands.h"
#include "devices/barcode/PendingBarcode.h"
#include "devices/barcode/ScannerDriverCom_win.h"

// COM objects end through Release, never through a destructor of their interfaces.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace dralmin {
namespace {

// A driver that records what it is called with and keeps the sink it was given.
class FakeDriver final : public WithoutTypeInfo<IScannerDriverCommands>,
                         public IConnectionPointContainer,
                         public IConnectionPoint,
                         public IClassFactory {
 public:
  ULONG references = 1;
  IDispatch* sink = nullptr;  // as the driver asked for it, one reference
  DWORD unadvised = 0;
  LONG reserved = -1;
  LONG count = -1;
  VARTYPE typesOfArray = VT_EMPTY;
  LONG lowerBound = -1;
  std::vector<SHORT> types;
  LONG opcode = 0;
  std::wstring inXml;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kScannerDriverCommandsIid)) {
      *object = static_cast<IScannerDriverCommands*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      *object = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(iid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE OpenScanners(LONG reservedArgument, SAFEARRAY* array,
                                         LONG countArgument, LONG* status) override {
    reserved = reservedArgument;
    count = countArgument;
    SafeArrayGetVartype(array, &typesOfArray);
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lowerBound);
    SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = lowerBound; i <= upper; ++i) {
      SHORT type = 0;
      SafeArrayGetElement(array, &i, &type);
      types.push_back(type);
    }
    *status = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CloseScanners(LONG, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetScanners(LONG*, BSTR*, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RunCommand(LONG opcodeArgument, BSTR* in, BSTR* out,
                                       LONG* status) override {
    opcode = opcodeArgument;
    inXml.assign(*in, SysStringLen(*in));
    *out = SysAllocString(L"<outArgs/>");
    *status = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (!IsEqualIID(iid, kScannerDriverEventsIid)) return CONNECT_E_NOCONNECTION;
    *point = this;
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* unknown, DWORD* cookie) override {
    // A driver asks the sink for the event interface itself.
    const HRESULT result =
        unknown->QueryInterface(kScannerDriverEventsIid, reinterpret_cast<void**>(&sink));
    *cookie = 42;
    return result;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    unadvised = cookie;
    return S_OK;  // the sink is kept, as a driver may still hold it for a while
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** object) override {
    return QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  HRESULT Send(DISPID event, SHORT number, const wchar_t* text) {
    VARIANT args[2];
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(text);
    args[1].vt = VT_I2;
    args[1].iVal = number;
    DISPPARAMS params{args, nullptr, 2, 0};
    const HRESULT result =
        sink->Invoke(event, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    SysFreeString(args[0].bstrVal);
    return result;
  }
};

class ComScannerDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_EQ(CoRegisterClassObject(kScannerDriverClsid, static_cast<IClassFactory*>(&driver),
                                    CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &registration),
              S_OK);
  }
  void TearDown() override {
    CoRevokeClassObject(registration);
    CoUninitialize();
  }

  FakeDriver driver;
  DWORD registration = 0;
};

TEST_F(ComScannerDriverTest, CallsTheDriversSlotsAndTakesItsScansUntilDisconnected) {
  PendingBarcode barcode;
  const ULONG before = driver.references;
  {
    CScannerCommands commands(&ComScannerDriver::Create, barcode);
    ASSERT_TRUE(commands.IsDriverAvailable());
    ASSERT_NE(driver.sink, nullptr);

    int32_t status = -1;
    commands.OpenScanners({1}, status);
    EXPECT_EQ(driver.reserved, 0);
    EXPECT_EQ(driver.count, 1);
    EXPECT_EQ(driver.typesOfArray, VT_I2);
    EXPECT_EQ(driver.lowerBound, 0);
    EXPECT_EQ(driver.types, (std::vector<SHORT>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(commands.SubscribeEvents(1, "1", status), S_OK);
    EXPECT_EQ(driver.opcode, 1001);
    EXPECT_EQ(driver.inXml,
              L"<inArgs><cmdArgs><arg-int>1</arg-int><arg-int>1</arg-int></cmdArgs></inArgs>");

    EXPECT_EQ(driver.Send(kScanDataEventId, 1,
                          L"<scandata><datalabel>0x41 0xC9 0x31</datalabel></scandata>"),
              S_OK);
    EXPECT_EQ(driver.Send(kScanCmdResponseEventId, 0, L"<datalabel>0x39</datalabel>"), S_OK);
    EXPECT_EQ(driver.Send(7, 0, L""), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(barcode.Take(), "A\xC9" "1");
  }
  EXPECT_EQ(driver.unadvised, 42u);
  // An event from a driver that still holds the sink after the disconnection goes nowhere.
  EXPECT_EQ(driver.Send(kScanDataEventId, 1, L"<datalabel>0x32</datalabel>"), S_OK);
  EXPECT_EQ(barcode.Take(), std::nullopt);
  driver.sink->Release();
  EXPECT_EQ(driver.references, before);  // every reference the agent took is given back
}

}  // namespace
}  // namespace dralmin
