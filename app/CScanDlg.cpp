#include "app/CScanDlg.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "app/AgentIcon.h"

namespace dralmin {
namespace {

QString ModeText(const std::string& mode) {
  if (mode == "color") return QString::fromUtf8("Цветной");
  if (mode == "gray") return QString::fromUtf8("Оттенки серого");
  return QString::fromUtf8("Чёрно-белый");
}

// Selects the item whose data is `value`, or the nearest number for resolutions.
void Select(QComboBox& combo, const QVariant& value) {
  int best = 0;
  for (int i = 0; i < combo.count(); ++i) {
    const QVariant item = combo.itemData(i);
    if (item == value) {
      best = i;
      break;
    }
    if (value.typeId() == QMetaType::Int &&
        std::abs(item.toInt() - value.toInt()) <
            std::abs(combo.itemData(best).toInt() - value.toInt())) {
      best = i;
    }
  }
  combo.setCurrentIndex(best);
}

}  // namespace

CScanDlg::CScanDlg(const ScanOffer& offer, const ScanChoices& preset, Answer answer,
                   std::function<void()> cancel)
    : preset_(preset),
      answer_(std::move(answer)),
      cancelScan_(std::move(cancel)),
      source_(new QComboBox(this)),
      mode_(new QComboBox(this)),
      resolution_(new QComboBox(this)),
      status_(new QLabel(this)),
      scan_(new QPushButton(QString::fromUtf8("Сканировать"), this)),
      cancel_(new QPushButton(QString::fromUtf8("Отмена"), this)) {
  setWindowTitle(QString::fromUtf8("Сканирование"));
  DecorateDialog(*this);
  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8("Сканер:"), new QLabel(QString::fromStdString(offer.label), this));

  if (offer.flatbed) source_->addItem(QString::fromUtf8("Планшет"), QStringLiteral("flatbed"));
  if (offer.feeder) {
    source_->addItem(QString::fromUtf8("Автоподатчик"), QStringLiteral("feeder"));
  }
  // Without a preset the feeder, when there is one.
  Select(*source_, QString::fromStdString(preset.source.empty() ? "feeder" : preset.source));
  if (offer.flatbed && offer.feeder) form->addRow(QString::fromUtf8("Источник:"), source_);
  source_->setVisible(offer.flatbed && offer.feeder);

  for (const std::string& mode : offer.modes) {
    mode_->addItem(ModeText(mode), QString::fromStdString(mode));
  }
  Select(*mode_, QString::fromStdString(preset.mode));
  form->addRow(QString::fromUtf8("Режим:"), mode_);

  for (int dpi : offer.resolutions) resolution_->addItem(QString::number(dpi) + " dpi", dpi);
  Select(*resolution_, preset.resolution);
  form->addRow(QString::fromUtf8("Разрешение:"), resolution_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(scan_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(status_);
  layout->addLayout(buttons);
  scan_->setDefault(true);

  connect(scan_, &QPushButton::clicked, this, &CScanDlg::Scan);
  connect(cancel_, &QPushButton::clicked, this, &CScanDlg::reject);
}

void CScanDlg::Scan() {
  if (scanning_) return;
  scanning_ = true;
  ScanChoices choices = preset_;
  if (source_->count() > 0) choices.source = source_->currentData().toString().toStdString();
  if (mode_->count() > 0) choices.mode = mode_->currentData().toString().toStdString();
  if (resolution_->count() > 0) choices.resolution = resolution_->currentData().toInt();
  for (QWidget* input : {static_cast<QWidget*>(source_), static_cast<QWidget*>(mode_),
                         static_cast<QWidget*>(resolution_), static_cast<QWidget*>(scan_)}) {
    input->setEnabled(false);
  }
  status_->setText(QString::fromUtf8("Сканирование…"));
  answer_(choices);
}

void CScanDlg::reject() {
  if (scanning_) {
    // The dialog stays until the device has stopped and the scan ended.
    status_->setText(QString::fromUtf8("Остановка…"));
    cancel_->setEnabled(false);
    cancelScan_();
    return;
  }
  answer_(std::nullopt);
  QDialog::reject();
}

void CScanDlg::ScanEnded() {
  scanning_ = false;
  QDialog::accept();
}

}  // namespace dralmin
