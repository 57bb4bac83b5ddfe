#include "app/TrayIcon.h"

#include <gtest/gtest.h>

#include <QAction>

#include "tests/app/QtTestApplication.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;

class TrayIconTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }

  TrayIcon::Commands Recording() {
    return {[this] { ran_.push_back("select"); }, [this] { ran_.push_back("settings"); },
            [this] { ran_.push_back("exit"); }};
  }

  std::vector<std::string> ran_;
};

TEST_F(TrayIconTest, MenuHasTheThreeItemsInOrderAndEachRunsItsCommand) {
  TrayIcon tray(Recording(), {}, [] { return true; });
  const QList<QAction*> items = tray.Menu().actions();
  ASSERT_EQ(items.size(), 3);  // no separators either
  EXPECT_EQ(items[0]->text().toStdString(), "Выбор &сканера");
  EXPECT_EQ(items[1]->text().toStdString(), "Настройки");
  EXPECT_EQ(items[2]->text().toStdString(), "&Выход");
  for (QAction* item : items) EXPECT_FALSE(item->isSeparator());

  items[2]->trigger();
  items[0]->trigger();
  items[1]->trigger();
  EXPECT_EQ(ran_, (std::vector<std::string>{"exit", "select", "settings"}));
}

TEST_F(TrayIconTest, IconTooltipAndRightButtonMenu) {
  TrayIcon tray(Recording(), {}, [] { return true; });
  EXPECT_TRUE(tray.IsShown());
  EXPECT_EQ(tray.Icon().toolTip().toStdString(), "Dralmin Tray Agent " DRALMIN_VERSION);
  const QIcon icon = tray.Icon().icon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.pixmap(16, 16).size(), QSize(16, 16));
  // The menu is the icon's context menu, which the right button opens; the other buttons only
  // report an activation, and nothing runs for it.
  EXPECT_EQ(tray.Icon().contextMenu(), &tray.Menu());
  Q_EMIT const_cast<QSystemTrayIcon&>(tray.Icon()).activated(QSystemTrayIcon::Trigger);
  Q_EMIT const_cast<QSystemTrayIcon&>(tray.Icon()).activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(ran_.empty());
}

TEST_F(TrayIconTest, WaitsForTheNotificationAreaThenShows) {
  int asked = 0;
  TrayIcon tray(Recording(), TrayRetry{1ms, 10}, [&] { return ++asked >= 3; });
  EXPECT_FALSE(tray.IsShown());
  EXPECT_TRUE(test::ProcessEventsUntil([&] { return tray.IsShown(); }, 5s));
  EXPECT_EQ(asked, 3);
  EXPECT_FALSE(tray.GaveUp());
}

TEST_F(TrayIconTest, GivesUpAfterTheLastAttempt) {
  int asked = 0;
  auto tray = std::make_unique<TrayIcon>(Recording(), TrayRetry{1ms, 4}, [&] {
    ++asked;
    return false;
  });
  EXPECT_TRUE(test::ProcessEventsUntil([&] { return tray->GaveUp(); }, 5s));
  EXPECT_EQ(asked, 5);  // the first try and four more
  EXPECT_FALSE(tray->IsShown());
  test::ProcessEventsUntil([] { return false; }, 30ms);
  EXPECT_EQ(asked, 5);
}

}  // namespace
}  // namespace dralmin
