#include <windows.h>
#include <winspool.h>

#include <vector>

#include "platform/WideText.h"
#include "support/SpoolerPrinter.h"

namespace dralmin {
namespace {

struct PrinterCloser {
  void operator()(HANDLE printer) const { ClosePrinter(printer); }
};

}  // namespace

void SpoolerPrinter::Send(std::string_view job) {
  DWORD length = 0;
  GetDefaultPrinterW(nullptr, &length);
  std::vector<wchar_t> name(length + 1);
  if (length == 0 || !GetDefaultPrinterW(name.data(), &length)) {
    throw PrinterException("no local printer");
  }
  const std::string printerName = Narrow(name.data());
  const auto refused = [&printerName] {
    return PrinterException("local printer " + printerName +
                            " refused the job: " + SystemErrorText(GetLastError()));
  };

  HANDLE opened = nullptr;
  if (!OpenPrinterW(name.data(), &opened, nullptr)) throw refused();
  const std::unique_ptr<void, PrinterCloser> printer(opened);

  // RAW: the job is already in the printer's own language and the driver must pass it on as is.
  wchar_t documentName[] = L"Label";
  wchar_t dataType[] = L"RAW";
  DOC_INFO_1W document{documentName, nullptr, dataType};
  if (StartDocPrinterW(opened, 1, reinterpret_cast<BYTE*>(&document)) == 0) throw refused();
  DWORD written = 0;
  const bool sent = StartPagePrinter(opened) &&
                    WritePrinter(opened, const_cast<char*>(job.data()),
                                 static_cast<DWORD>(job.size()), &written) &&
                    written == job.size() && EndPagePrinter(opened);
  if (!sent) {
    const PrinterException why = refused();
    EndDocPrinter(opened);
    throw why;
  }
  if (!EndDocPrinter(opened)) throw refused();
}

}  // namespace dralmin
