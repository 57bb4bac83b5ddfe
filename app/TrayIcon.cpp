#include "app/TrayIcon.h"

#include <QIcon>

namespace dralmin {

TrayIcon::TrayIcon(Commands commands, TrayRetry retry, std::function<bool()> trayAvailable)
    : trayAvailable_(std::move(trayAvailable)), attemptsLeft_(retry.attempts) {
  icon_.setIcon(QIcon(QStringLiteral(":/tray/tray-icon.png")));
  icon_.setToolTip(QString::fromLatin1(kTrayTooltip));

  // Qt uses "&" for mnemonics as the menu texts do, so they are set unchanged.
  connect(menu_.addAction(QString::fromUtf8("Выбор &сканера")), &QAction::triggered, this,
          [run = std::move(commands.selectScanner)] { run(); });
  connect(menu_.addAction(QString::fromUtf8("Настройки")), &QAction::triggered, this,
          [run = std::move(commands.settings)] { run(); });
  connect(menu_.addAction(QString::fromUtf8("&Выход")), &QAction::triggered, this,
          [run = std::move(commands.exit)] { run(); });
  // The context menu is what the right button opens; a left click (Trigger), a double click
  // or the middle button only emit activated(), which nothing here listens to.
  icon_.setContextMenu(&menu_);

  retryTimer_.setInterval(retry.interval);
  connect(&retryTimer_, &QTimer::timeout, this, &TrayIcon::TryShow);
  TryShow();
}

TrayIcon::~TrayIcon() {
  retryTimer_.stop();
  icon_.hide();
}

void TrayIcon::TryShow() {
  if (trayAvailable_()) {
    retryTimer_.stop();
    icon_.show();
    return;
  }
  if (attemptsLeft_-- > 0) {
    retryTimer_.start();
  } else {
    retryTimer_.stop();
    gaveUp_ = true;
  }
}

}  // namespace dralmin
