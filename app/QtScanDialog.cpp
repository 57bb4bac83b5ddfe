#include "app/QtScanDialog.h"

#include <QInputDialog>
#include <QMetaObject>
#include <QStringList>

#include "app/AgentIcon.h"
#include "platform/Log.h"
#include "settings/SettingsFiles.h"

namespace dralmin {

QtScanDialog::QtScanDialog(std::string settingsPath) : settingsPath_(std::move(settingsPath)) {}

QtScanDialog::~QtScanDialog() {
  delete dialog_.data();
}

void QtScanDialog::Store(const char* key, const std::string& value) {
  if (settingsPath_.empty()) return;
  std::string error;
  if (!StoreSetting(settingsPath_, key, value, error)) {
    LogWarning("scanner", "the scan settings were not remembered: " + error);
  }
}

void QtScanDialog::AskScan(const ScanOffer& offer, const ScanChoices& preset,
                           std::function<void(std::optional<ScanChoices>)> answer,
                           std::function<void()> cancel) {
  QMetaObject::invokeMethod(
      this,
      [this, offer, preset, answer = std::move(answer), cancel = std::move(cancel)] {
        delete dialog_.data();
        auto remember = [this, answer](std::optional<ScanChoices> choices) {
          if (choices) {
            Store("scan_source", choices->source);
            Store("scan_mode", choices->mode);
            Store("scan_resolution", std::to_string(choices->resolution));
          }
          answer(std::move(choices));
        };
        dialog_ = new CScanDlg(offer, preset, remember, cancel);
        dialog_->setAttribute(Qt::WA_DeleteOnClose);
        dialog_->show();
        dialog_->raise();
        dialog_->activateWindow();
      },
      Qt::QueuedConnection);
}

void QtScanDialog::ScanEnded() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (dialog_) dialog_->ScanEnded();
      },
      Qt::QueuedConnection);
}

void QtScanDialog::ChooseDevice(const std::vector<SaneDeviceInfo>& devices,
                                const std::string& current,
                                std::function<void(const std::string&)> chosen) {
  QMetaObject::invokeMethod(
      this,
      [this, devices, current, chosen = std::move(chosen)] {
        if (devices.empty()) {
          LogWarning("scanner", "SANE finds no scanner to choose");
        }
        QStringList items;
        int selected = 0;
        for (const SaneDeviceInfo& d : devices) {
          if (d.name == current) selected = static_cast<int>(items.size());
          items << QString::fromStdString(d.vendor + " " + d.model + " (" + d.name + ")");
        }
        QInputDialog choice;
        choice.setWindowTitle(QString::fromUtf8("Выбор сканера"));
        choice.setLabelText(QString::fromUtf8("Сканер:"));
        choice.setComboBoxItems(items);
        choice.setComboBoxEditable(false);
        choice.setTextValue(items.value(selected));
        DecorateDialog(choice);
        if (choice.exec() != QDialog::Accepted) return;
        const auto index = items.indexOf(choice.textValue());
        if (index < 0) return;
        const std::string& name = devices[static_cast<std::size_t>(index)].name;
        Store("sane_device", name);
        chosen(name);
      },
      Qt::QueuedConnection);
}

}  // namespace dralmin
