#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <functional>
#include <optional>

#include "devices/scanning/SaneSession.h"

namespace dralmin {

// The scan dialog shown in place of a scanner's own window (SANE scanners have none): the
// device, its source, the mode and the resolution, and Scan / Cancel. Scan hands the choices on
// and keeps the dialog open while the pages come, its Cancel then stopping the device; the
// dialog closes when told that the scan ended. Closing it before Scan answers with nothing.
class CScanDlg final : public QDialog {
 public:
  using Answer = std::function<void(std::optional<ScanChoices>)>;

  CScanDlg(const ScanOffer& offer, const ScanChoices& preset, Answer answer,
           std::function<void()> cancel);

  // The scan that Scan started has ended: the dialog closes.
  void ScanEnded();

  QComboBox& SourceCombo() { return *source_; }
  QComboBox& ModeCombo() { return *mode_; }
  QComboBox& ResolutionCombo() { return *resolution_; }
  QPushButton& ScanButton() { return *scan_; }
  QPushButton& CancelButton() { return *cancel_; }
  QLabel& StatusLabel() { return *status_; }

 protected:
  void reject() override;

 private:
  void Scan();

  ScanChoices preset_;
  Answer answer_;
  std::function<void()> cancelScan_;
  bool scanning_ = false;
  QComboBox* source_;
  QComboBox* mode_;
  QComboBox* resolution_;
  QLabel* status_;
  QPushButton* scan_;
  QPushButton* cancel_;
};

}  // namespace dralmin
