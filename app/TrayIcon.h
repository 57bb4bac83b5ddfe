#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "DralminVersion.h"

namespace dralmin {

inline constexpr const char* kTrayTooltip = "Dralmin Tray Agent " DRALMIN_VERSION;

// Whether the Qt platform plug-in `platformName` can ever show a notification area: desktops
// can (one may come later), while offscreen, minimal, framebuffer and VNC platforms never do.
bool PlatformCanShowTray(const QString& platformName);

// The notification-area icon with its menu. Only the right button opens the menu; the chosen
// item runs its command. The icon is kept while this lives: desktops start their panels late and
// restart them, and Qt puts the icon into a notification area whenever one appears. It is
// removed when this is destroyed.
class TrayIcon final : public QObject {
 public:
  struct Commands {
    std::function<void()> selectScanner;
    std::function<void()> settings;
    std::function<void()> status;  // opens the status page in the user's browser
    std::function<void()> exit;
  };

  // `trayAvailable` tells whether a notification area is there now; when none is, that is said
  // once on standard error.
  explicit TrayIcon(Commands commands, const std::function<bool()>& trayAvailable =
                                           &QSystemTrayIcon::isSystemTrayAvailable);
  ~TrayIcon() override;
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  QMenu& Menu() { return menu_; }
  const QSystemTrayIcon& Icon() const { return icon_; }
  bool IsShown() const { return icon_.isVisible(); }

 private:
  QSystemTrayIcon icon_;
  QMenu menu_;
};

}  // namespace dralmin
