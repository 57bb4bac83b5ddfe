#include "support/PrintService.h"

#include "replies/Jsonp.h"
#include "support/LabelRenderer.h"

namespace dralmin {
namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string PrintErrorAnswer(std::string_view reason) {
  std::string answer = "DralminPrinter__callback({error:'";
  AppendJsString(answer, reason);
  answer += "'})";
  return answer;
}

StoredSettings PrintService::GetSettings() {
  const std::lock_guard lock(settingsMutex_);
  return SettingsFile(settingsPath_()).Load();
}

bool PrintService::SaveSettings(const StoredSettings& settings, std::string* error) {
  const std::lock_guard lock(settingsMutex_);
  return SettingsFile(settingsPath_()).Save(settings, error);
}

std::string PrintService::Print(std::string_view xml) {
  const std::lock_guard printing(printMutex_);
  try {
    const StoredSettings settings = GetSettings();
    const std::string job = LabelRenderer(settings.codePage, settings.forcePeeler).Render(xml);
    openPort_(Trimmed(settings.printerAddress))->Send(job);
    return std::string(kPrintedAnswer);
  } catch (const LabelException& e) {
    return PrintErrorAnswer(e.what());
  } catch (const PrinterException& e) {
    return PrintErrorAnswer(e.what());
  } catch (const std::bad_alloc&) {
    return PrintErrorAnswer("out of memory");
  }
}

}  // namespace dralmin
