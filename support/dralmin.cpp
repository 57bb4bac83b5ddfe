// The C entry points of the support library. Each catches everything: no C++ exception may cross
// into a C or foreign-function caller.
#include "support/dralmin.h"

#include <cstdio>
#include <exception>
#include <string>

#include "support/FileDownload.h"
#include "support/PrintService.h"

namespace {

using dralmin::PrintService;
using dralmin::StoredSettings;

// The library is loaded once per process and its calls share one settings file, so the service
// lives as long as the process.
PrintService& Service() {
  static PrintService service(&dralmin::SettingsFile::DefaultPath, [](const std::string& address) {
    return dralmin::OpenPrinterPort(address);
  });
  return service;
}

// Texts handed back stay valid until the same thread calls again.
thread_local std::string returnedAddress;
thread_local std::string returnedAnswer;

void Complain(const char* call, const char* what) {
  std::fprintf(stderr, "dralmin: %s: %s\n", call, what);
}

}  // namespace

extern "C" {

void dralmin_GetSettings(PrinterSettings* settings) {
  if (settings == nullptr) return;
  StoredSettings stored;
  try {
    stored = Service().GetSettings();
    returnedAddress = stored.printerAddress;
  } catch (const std::exception& e) {
    Complain("GetSettings", e.what());
    stored = {};
    returnedAddress.clear();
  }
  settings->printerAddress = returnedAddress.c_str();
  settings->codePage = stored.codePage;
  settings->forcePeeler = stored.forcePeeler ? 1 : 0;
}

void dralmin_SaveSettings(const PrinterSettings* settings) {
  if (settings == nullptr) return;
  try {
    StoredSettings stored;
    stored.printerAddress = settings->printerAddress != nullptr ? settings->printerAddress : "";
    stored.codePage = dralmin::NormalCodePage(settings->codePage);
    stored.forcePeeler = settings->forcePeeler != 0;
    std::string error;
    if (!Service().SaveSettings(stored, &error)) Complain("SaveSettings", error.c_str());
  } catch (const std::exception& e) {
    Complain("SaveSettings", e.what());
  }
}

const char* dralmin_PrintFromXML(const char* xml) {
  try {
    returnedAnswer =
        xml != nullptr ? Service().Print(xml) : dralmin::PrintErrorAnswer("no label description");
  } catch (const std::exception& e) {
    Complain("PrintFromXML", e.what());
    return "DralminPrinter__callback({error:'internal error'})";  // needs no memory
  }
  return returnedAnswer.c_str();
}

uint8_t dralmin_DownloadFile(const char* url, const char* path) {
  if (url == nullptr || path == nullptr || *path == '\0') return 0;
  try {
    std::string error;
    if (dralmin::DownloadFile(url, path, dralmin::DownloadLimits{}, &error)) return 1;
    Complain("DownloadFile", error.c_str());
  } catch (const std::exception& e) {
    Complain("DownloadFile", e.what());
  }
  return 0;
}

}  // extern "C"
