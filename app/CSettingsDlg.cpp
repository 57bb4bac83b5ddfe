#include "app/CSettingsDlg.h"

#include <QFontMetrics>
#include <QLabel>

namespace dralmin {
namespace {

// The layout is given in dialog units, which scale with the dialog's font: a horizontal unit is
// a quarter of the average character width, a vertical one an eighth of the character height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics)
      : x_(metrics.averageCharWidth()), y_(metrics.height()) {}
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(x * x_ / 4, y * y_ / 8, width * x_ / 4, height * y_ / 8);
  }

 private:
  int x_;
  int y_;
};

template <typename Control>
Control* Place(Control* control, const DialogUnits& units, int x, int y, int width, int height) {
  control->setGeometry(units.Rect(x, y, width, height));
  return control;
}

QLabel* Text(QWidget* parent, const char* utf8) {
  return new QLabel(QString::fromUtf8(utf8), parent);
}

}  // namespace

CSettingsDlg::CSettingsDlg() : QDialog(nullptr) {
  setWindowTitle(QString::fromUtf8("Настройки"));
  const DialogUnits units(fontMetrics());
  const QRect size = units.Rect(0, 0, 283, 101);
  setFixedSize(size.width(), size.height());

  // Created in the template's order, which is also the order the focus moves in.
  okButton_ = Place(new QPushButton(QStringLiteral("OK"), this), units, 166, 80, 50, 14);
  okButton_->setDefault(true);
  cancelButton_ = Place(new QPushButton(QStringLiteral("Cancel"), this), units, 226, 80, 50, 14);
  Place(Text(this, "Принтер этикеток"), units, 7, 7, 75, 8);
  addressEdit_ = Place(new QLineEdit(this), units, 85, 7, 191, 12);
  Place(Text(this, "Только для сетвого принтера. "), units, 86, 20, 107, 8);
  Place(Text(this, "Оставьте пустым, если принтер подключен локально"), units, 86, 30, 184, 8);
  Place(Text(this, "Кодировка принтера этикеток"), units, 7, 44, 110, 8);
  // The height of a drop-down list includes its open list; only the closed box is placed here.
  encodingCombo_ = Place(new QComboBox(this), units, 117, 42, 61, 12);
  encodingCombo_->addItem(QStringLiteral("OEM 866"));
  encodingCombo_->addItem(QStringLiteral(" CP 1251"));
  peelerCheck_ =
      Place(new QCheckBox(QString::fromUtf8("Принудительно включить отделитель (TSC)"), this),
            units, 7, 61, 168, 10);
  setTabOrder(okButton_, cancelButton_);
  setTabOrder(cancelButton_, addressEdit_);
  setTabOrder(addressEdit_, encodingCombo_);
  setTabOrder(encodingCombo_, peelerCheck_);

  connect(okButton_, &QPushButton::clicked, this, &CSettingsDlg::accept);
  connect(cancelButton_, &QPushButton::clicked, this, &CSettingsDlg::reject);
}

void CSettingsDlg::DoDataExchange(bool save) {
  if (save) {
    addressText = addressEdit_->text().toStdString();
  } else {
    addressEdit_->setText(QString::fromStdString(addressText));
  }
  // Both ways: on OK the selection was read into encodingIndex just before, so it stays as the
  // user left it. An index outside the list shows no selection.
  encodingCombo_->setCurrentIndex(
      encodingIndex >= 0 && encodingIndex < encodingCombo_->count() ? encodingIndex : -1);
  if (save) {
    peelerCheck = peelerCheck_->isChecked();
  } else {
    peelerCheck_->setChecked(peelerCheck);
  }
}

int CSettingsDlg::DoModal() {
  DoDataExchange(false);
  return exec();
}

void CSettingsDlg::accept() {
  encodingIndex = encodingCombo_->currentIndex();
  DoDataExchange(true);
  QDialog::accept();
}

void RunSettingsCommand(const SettingsLibrary& library,
                        const std::function<int(CSettingsDlg&)>& run) {
  CSettingsDlg dialog;
  PrinterSettings settings{};
  library.getSettings(&settings);
  dialog.addressText = settings.printerAddress != nullptr ? settings.printerAddress : "";
  dialog.encodingIndex =
      settings.codePage == 866 ? CSettingsDlg::kEncoding866 : CSettingsDlg::kEncoding1251;
  dialog.peelerCheck = settings.forcePeeler != 0;

  if (run(dialog) != QDialog::Accepted) return;
  // The record points into the dialog's text, which lives until the save is done.
  settings.printerAddress = dialog.addressText.c_str();
  // No selection (-1) counts as "not 866".
  settings.codePage = dialog.encodingIndex != CSettingsDlg::kEncoding866 ? 1251 : 866;
  settings.forcePeeler = dialog.peelerCheck ? 1 : 0;
  library.saveSettings(&settings);
}

}  // namespace dralmin
