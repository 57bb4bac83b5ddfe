/* The support library: label printer settings, label printing and file download.
 * A plain C interface, so that programs in any language can call it. Every function may be called
 * from any thread; settings and print calls are serialised inside the library. */
#pragma once

#include <stdint.h>

#if defined(__GNUC__) && !defined(_WIN32)  /* Windows: exported by dralmin.def */
#define DRALMIN_API __attribute__((visibility("default")))
#else
#define DRALMIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PrinterSettings {
  /* "host" or "host:port" (port 9100 by default) for a network printer, a path beginning with "/"
   * for a printer device file, or empty for the local default printer. */
  const char* printerAddress;
  /* The printer's code page for label texts: 866 or 1251. */
  int32_t codePage;
  /* Nonzero: the peeler is switched on for every label. */
  uint8_t forcePeeler;
} PrinterSettings;

/* Fills every field with the saved settings (defaults when none are saved). The address text stays
 * valid until the same thread calls the library again. */
DRALMIN_API void dralmin_GetSettings(PrinterSettings* settings);

/* Saves the settings for every later call; the address text is copied during the call. */
DRALMIN_API void dralmin_SaveSettings(const PrinterSettings* settings);

/* Prints the labels that the XML text describes on the configured printer. Returns the answer for
 * the page, "DralminPrinter__callback({result:'OK'})" or "DralminPrinter__callback({error:'...'})";
 * never null, valid until the same thread calls the library again. */
DRALMIN_API const char* dralmin_PrintFromXML(const char* xml);

/* Fetches the URL into the file at `path`, creating or replacing it. Nonzero only when the whole
 * content has been written; on failure an earlier file at `path` is left as it was. */
DRALMIN_API uint8_t dralmin_DownloadFile(const char* url, const char* path);

#ifdef __cplusplus
}
#endif
