#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "support/dralmin.h"

namespace dralmin {

// The label printer settings dialog: printer address, encoding and forced peeler. It only edits
// its three members; the settings command below reads and saves them through the support library.
class CSettingsDlg final : public QDialog {
 public:
  static constexpr int kEncoding866 = 0;
  static constexpr int kEncoding1251 = 1;

  CSettingsDlg();

  // Copies the members into the controls (save = false) or the controls into the members.
  void DoDataExchange(bool save);

  // Shows the members and runs the dialog modally: QDialog::Accepted for OK.
  int DoModal();

  std::string addressText;
  int encodingIndex = kEncoding866;  // 0 stands for 866, anything else for 1251
  bool peelerCheck = false;

  QLineEdit& AddressEdit() { return *addressEdit_; }
  QComboBox& EncodingCombo() { return *encodingCombo_; }
  QCheckBox& PeelerCheck() { return *peelerCheck_; }
  QPushButton& OkButton() { return *okButton_; }
  QPushButton& CancelButton() { return *cancelButton_; }

 protected:
  // OK: reads the encoding selection, then the other controls, and ends with Accepted.
  void accept() override;

 private:
  QPushButton* okButton_;
  QPushButton* cancelButton_;
  QLineEdit* addressEdit_;
  QComboBox* encodingCombo_;
  QCheckBox* peelerCheck_;
};

// How the settings reach the support library.
struct SettingsLibrary {
  void (*getSettings)(PrinterSettings*) = &dralmin_GetSettings;
  void (*saveSettings)(const PrinterSettings*) = &dralmin_SaveSettings;
};

// The tray menu's settings command: reads the settings afresh, shows the dialog through `run`
// (DoModal unless a test drives it) and saves the edited values only when it ended with OK.
void RunSettingsCommand(const SettingsLibrary& library = {},
                        const std::function<int(CSettingsDlg&)>& run = &CSettingsDlg::DoModal);

}  // namespace dralmin
