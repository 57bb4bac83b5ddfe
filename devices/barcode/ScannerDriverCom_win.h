#pragma once

#include <oaidl.h>
#include <windows.h>

namespace dralmin {

// The barcode scanner driver as a COM class: its class, its command interface (dual, so that a
// driver in another process is reached through its type library) and the event interface that
// the driver calls on whoever subscribed.
inline constexpr CLSID kScannerDriverClsid = {
    0x9F8D4F16, 0x0F61, 0x4A38, {0x98, 0xB3, 0x1F, 0x6F, 0x80, 0xF1, 0x1C, 0x87}};
inline constexpr IID kScannerDriverCommandsIid = {
    0x2105896C, 0x2B38, 0x4031, {0xBD, 0x0B, 0x7A, 0x9C, 0x4A, 0x39, 0xFB, 0x93}};
inline constexpr IID kScannerDriverEventsIid = {
    0x981E3D8B, 0xC756, 0x4195, {0xA7, 0x02, 0xF1, 0x98, 0x96, 0x50, 0x31, 0xC6}};

// The event methods of the event interface, by their dispatch identifiers.
inline constexpr DISPID kScanDataEventId = 3;
inline constexpr DISPID kScanCmdResponseEventId = 5;

// COM objects end through Release, never through a destructor of their interfaces, which have none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// The command interface in the driver's slot order. The agent calls the first and the fourth
// method; the two between them are declared only to keep the slots where the driver has them.
struct IScannerDriverCommands : public IDispatch {
  // `scannerTypes`: one dimension of VT_I2.
  virtual HRESULT STDMETHODCALLTYPE OpenScanners(LONG reserved, SAFEARRAY* scannerTypes,
                                                 LONG count, LONG* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE CloseScanners(LONG reserved, LONG* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetScanners(LONG* count, BSTR* outXml, LONG* status) = 0;
  // `outXml` is the driver's answer, which the caller frees.
  virtual HRESULT STDMETHODCALLTYPE RunCommand(LONG opcode, BSTR* inXml, BSTR* outXml,
                                               LONG* status) = 0;
};

// The type information part of IDispatch, for objects whose callers need none: a driver called
// through its slots, a sink called by dispatch identifiers.
template <typename Dispatch>
class WithoutTypeInfo : public Dispatch {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
};

#pragma GCC diagnostic pop

}  // namespace dralmin
