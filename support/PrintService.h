#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "support/PrinterPort.h"
#include "support/SettingsFile.h"

namespace dralmin {

// The answers of a print call, as the page receives them.
inline constexpr std::string_view kPrintedAnswer = "DralminPrinter__callback({result:'OK'})";
// "DralminPrinter__callback({error:'" + reason, escaped for the quotes + "'})"
std::string PrintErrorAnswer(std::string_view reason);

// The library's settings and print calls. Prints go out one at a time, each with the settings
// saved before it started; reading and saving the settings never wait for a print (a print to a
// network printer may take many seconds, and the settings dialog runs on the desktop's thread).
class PrintService {
 public:
  using SettingsPath = std::function<std::string()>;
  using PortFactory = std::function<std::unique_ptr<PrinterPort>(const std::string& address)>;

  PrintService(SettingsPath settingsPath, PortFactory openPort)
      : settingsPath_(std::move(settingsPath)), openPort_(std::move(openPort)) {}

  StoredSettings GetSettings();
  // False, with `error` for developers, when the settings could not be stored.
  bool SaveSettings(const StoredSettings& settings, std::string* error = nullptr);
  // Renders the labels with the saved settings and sends them as one job; the page's answer.
  std::string Print(std::string_view xml);

 private:
  std::mutex settingsMutex_;  // one save at a time; a load never sees half a save
  std::mutex printMutex_;     // one job at a time on the printer
  SettingsPath settingsPath_;
  PortFactory openPort_;
};

}  // namespace dralmin
