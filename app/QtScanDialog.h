#pragma once

#include <QObject>
#include <QPointer>
#include <string>

#include "app/CScanDlg.h"
#include "devices/scanning/SaneSession.h"

namespace dralmin {

// The SANE session's user interface on the user-interface thread, which constructs this: the
// scan dialog, and the tray's scanner choice. The choices the user makes are stored in the
// user's settings file (`settingsPath`; not stored when empty).
class QtScanDialog final : public QObject, public ScanDialog {
 public:
  explicit QtScanDialog(std::string settingsPath);
  ~QtScanDialog() override;

  void AskScan(const ScanOffer& offer, const ScanChoices& preset,
               std::function<void(std::optional<ScanChoices>)> answer,
               std::function<void()> cancel) override;
  void ScanEnded() override;
  void ChooseDevice(const std::vector<SaneDeviceInfo>& devices, const std::string& current,
                    std::function<void(const std::string&)> chosen) override;

  // The open scan dialog, or null; for tests.
  CScanDlg* Dialog() const { return dialog_; }

 private:
  void Store(const char* key, const std::string& value);

  std::string settingsPath_;
  QPointer<CScanDlg> dialog_;
};

}  // namespace dralmin
