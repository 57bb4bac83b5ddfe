#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <chrono>
#include <functional>

#include "DralminVersion.h"

namespace dralmin {

inline constexpr const char* kTrayTooltip = "Dralmin Tray Agent " DRALMIN_VERSION;

// At login the desktop's notification area may appear after the agent: the icon is tried again at
// this interval, this many times, and then given up (the agent serves all the same).
struct TrayRetry {
  std::chrono::milliseconds interval{5000};
  int attempts = 36;
};

// The notification-area icon with its menu. Only the right button opens the menu; the chosen
// item runs its command. The icon is removed when this is destroyed.
class TrayIcon final : public QObject {
 public:
  struct Commands {
    std::function<void()> selectScanner;
    std::function<void()> settings;
    std::function<void()> exit;
  };

  explicit TrayIcon(Commands commands, TrayRetry retry = {},
                    std::function<bool()> trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable);
  ~TrayIcon() override;
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  QMenu& Menu() { return menu_; }
  const QSystemTrayIcon& Icon() const { return icon_; }
  bool IsShown() const { return icon_.isVisible(); }
  // True once every attempt found no notification area.
  bool GaveUp() const { return gaveUp_; }

 private:
  void TryShow();

  QSystemTrayIcon icon_;
  QMenu menu_;
  QTimer retryTimer_;
  std::function<bool()> trayAvailable_;
  int attemptsLeft_;
  bool gaveUp_ = false;
};

}  // namespace dralmin
