#include "support/CupsPrinter.h"

#include <cups/cups.h>

#include <memory>

namespace dralmin {
namespace {

struct DestinationDeleter {
  void operator()(cups_dest_t* destination) const { cupsFreeDests(1, destination); }
};

std::string LastError() {
  const char* message = cupsLastErrorString();
  return message != nullptr ? message : "unknown error";
}

}  // namespace

void CupsPrinter::Send(std::string_view job) {
  const std::unique_ptr<cups_dest_t, DestinationDeleter> destination(
      cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr));
  if (!destination) throw PrinterException("no local printer");

  const int id = cupsCreateJob(CUPS_HTTP_DEFAULT, destination->name, "Label", 0, nullptr);
  if (id == 0) {
    throw PrinterException("local printer " + std::string(destination->name) +
                           " refused the job: " + LastError());
  }
  // Raw: the job is already in the printer's own language and no filter may touch it.
  if (cupsStartDocument(CUPS_HTTP_DEFAULT, destination->name, id, "label", CUPS_FORMAT_RAW, 1) !=
          HTTP_STATUS_CONTINUE ||
      cupsWriteRequestData(CUPS_HTTP_DEFAULT, job.data(), job.size()) != HTTP_STATUS_CONTINUE) {
    cupsCancelJob(destination->name, id);
    throw PrinterException("local printer " + std::string(destination->name) +
                           " refused the job: " + LastError());
  }
  if (cupsFinishDocument(CUPS_HTTP_DEFAULT, destination->name) != IPP_STATUS_OK) {
    throw PrinterException("local printer " + std::string(destination->name) +
                           " refused the job: " + LastError());
  }
}

}  // namespace dralmin
