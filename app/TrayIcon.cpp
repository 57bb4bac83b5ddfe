#include "app/TrayIcon.h"

#include "app/AgentIcon.h"
#include "platform/Log.h"

namespace dralmin {

bool PlatformCanShowTray(const QString& platformName) {
  return platformName == QLatin1String("xcb") ||
         platformName.startsWith(QLatin1String("wayland")) ||
         platformName == QLatin1String("windows") || platformName == QLatin1String("cocoa");
}

TrayIcon::TrayIcon(Commands commands, const std::function<bool()>& trayAvailable) {
  icon_.setIcon(AgentIcon());
  icon_.setToolTip(QString::fromLatin1(kTrayTooltip));

  // Qt uses "&" for mnemonics as the menu texts do, so they are set unchanged.
  connect(menu_.addAction(QString::fromUtf8("Выбор &сканера")), &QAction::triggered, this,
          [run = std::move(commands.selectScanner)] { run(); });
  connect(menu_.addAction(QString::fromUtf8("Настройки")), &QAction::triggered, this,
          [run = std::move(commands.settings)] { run(); });
  connect(menu_.addAction(QString::fromUtf8("Состояние агента")), &QAction::triggered, this,
          [run = std::move(commands.status)] {
            if (run) run();
          });
  connect(menu_.addAction(QString::fromUtf8("&Выход")), &QAction::triggered, this,
          [run = std::move(commands.exit)] { run(); });
  // The context menu is what the right button opens; a left click (Trigger), a double click
  // or the middle button only emit activated(), which nothing here listens to.
  icon_.setContextMenu(&menu_);

  if (!trayAvailable()) {
    LogWarning("tray", "no notification area yet; the icon appears when a panel provides one");
  }
  icon_.show();
}

TrayIcon::~TrayIcon() {
  icon_.hide();
}

}  // namespace dralmin
