#include "app/CSettingsDlg.h"

#include <QBoxLayout>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>

#include "app/AgentIcon.h"

namespace dralmin {
namespace {

// The dialog's sizes are given in dialog units, which scale with the dialog's font: a horizontal
// unit is a quarter of the average character width, a vertical one an eighth of the character
// height. They are minimums: the layout gives each text the room its font needs.
class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics)
      : x_(metrics.averageCharWidth()), y_(metrics.height()) {}
  int X(int units) const { return units * x_ / 4; }
  int Y(int units) const { return units * y_ / 8; }
  QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

 private:
  int x_;
  int y_;
};

template <typename Control>
Control* AtLeast(Control* control, const DialogUnits& units, int width, int height) {
  control->setMinimumSize(units.Size(width, height));
  return control;
}

QLabel* Text(QWidget* parent, const char* utf8) {
  return new QLabel(QString::fromUtf8(utf8), parent);
}

}  // namespace

CSettingsDlg::CSettingsDlg() : QDialog(nullptr) {
  setWindowTitle(QString::fromUtf8("Настройки"));
  DecorateDialog(*this);
  const DialogUnits units(fontMetrics());

  // Created in the order the focus moves in: OK, Cancel, then the fields from the top. Sizes are
  // the least each control takes, in dialog units.
  okButton_ = AtLeast(new QPushButton(QStringLiteral("OK"), this), units, 50, 14);
  okButton_->setDefault(true);
  cancelButton_ = AtLeast(new QPushButton(QStringLiteral("Cancel"), this), units, 50, 14);
  QLabel* printerLabel = AtLeast(Text(this, "Принтер этикеток"), units, 75, 8);
  addressEdit_ = AtLeast(new QLineEdit(this), units, 191, 12);
  QLabel* networkHint = AtLeast(Text(this, "Только для сетвого принтера. "), units, 107, 8);
  QLabel* localHint =
      AtLeast(Text(this, "Оставьте пустым, если принтер подключен локально"), units, 184, 8);
  QLabel* encodingLabel = AtLeast(Text(this, "Кодировка принтера этикеток"), units, 110, 8);
  encodingCombo_ = AtLeast(new QComboBox(this), units, 61, 12);
  encodingCombo_->addItem(QStringLiteral("OEM 866"));
  encodingCombo_->addItem(QStringLiteral(" CP 1251"));
  peelerCheck_ =
      AtLeast(new QCheckBox(QString::fromUtf8("Принудительно включить отделитель (TSC)"), this),
              units, 168, 10);
  setTabOrder(okButton_, cancelButton_);
  setTabOrder(cancelButton_, addressEdit_);
  setTabOrder(addressEdit_, encodingCombo_);
  setTabOrder(encodingCombo_, peelerCheck_);

  // The address with its two notes under the edit box, the encoding, the peeler, the buttons.
  auto* address = new QGridLayout;
  address->setHorizontalSpacing(units.X(3));
  address->setVerticalSpacing(units.Y(1));
  address->addWidget(printerLabel, 0, 0);
  address->addWidget(addressEdit_, 0, 1);
  address->addWidget(networkHint, 1, 1);
  address->addWidget(localHint, 2, 1);
  address->setColumnStretch(1, 1);

  auto* encoding = new QHBoxLayout;
  encoding->setSpacing(units.X(3));
  encoding->addWidget(encodingLabel);
  encoding->addWidget(encodingCombo_);
  encoding->addStretch();

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(units.X(10));
  buttons->addStretch();
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);

  auto* dialog = new QVBoxLayout(this);
  dialog->setContentsMargins(units.X(7), units.Y(7), units.X(7), units.Y(7));
  dialog->setSpacing(0);
  dialog->addLayout(address);
  dialog->addSpacing(units.Y(4));
  dialog->addLayout(encoding);
  dialog->addSpacing(units.Y(7));
  dialog->addWidget(peelerCheck_);
  dialog->addSpacing(units.Y(9));
  dialog->addLayout(buttons);
  // As large as its texts need, never smaller than the sizes above, and not resizable.
  dialog->setSizeConstraint(QLayout::SetFixedSize);

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
