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
            [this] { ran_.push_back("status"); }, [this] { ran_.push_back("exit"); }};
  }

  std::vector<std::string> ran_;
};

TEST_F(TrayIconTest, MenuHasTheFourItemsInOrderAndEachRunsItsCommand) {
  TrayIcon tray(Recording(), [] { return true; });
  const QList<QAction*> items = tray.Menu().actions();
  ASSERT_EQ(items.size(), 4);  // no separators either
  EXPECT_EQ(items[0]->text().toStdString(), "Выбор &сканера");
  EXPECT_EQ(items[1]->text().toStdString(), "Настройки");
  EXPECT_EQ(items[2]->text().toStdString(), "Состояние агента");
  EXPECT_EQ(items[3]->text().toStdString(), "&Выход");
  for (QAction* item : items) EXPECT_FALSE(item->isSeparator());

  items[3]->trigger();
  items[0]->trigger();
  items[1]->trigger();
  items[2]->trigger();
  EXPECT_EQ(ran_, (std::vector<std::string>{"exit", "select", "settings", "status"}));
}

TEST_F(TrayIconTest, IconTooltipAndRightButtonMenu) {
  TrayIcon tray(Recording(), [] { return true; });
  EXPECT_TRUE(tray.IsShown());
  EXPECT_EQ(tray.Icon().toolTip().toStdString(), "Dralmin Tray Agent " DRALMIN_VERSION);
  const QIcon icon = tray.Icon().icon();
  ASSERT_FALSE(icon.isNull());
  // Drawn for today's panels and high-density screens, not scaled up from 16 pixels.
  for (const int size : {16, 22, 24, 32, 48, 64, 128}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
  }
  // The menu is the icon's context menu, which the right button opens; the other buttons only
  // report an activation, and nothing runs for it.
  EXPECT_EQ(tray.Icon().contextMenu(), &tray.Menu());
  Q_EMIT const_cast<QSystemTrayIcon&>(tray.Icon()).activated(QSystemTrayIcon::Trigger);
  Q_EMIT const_cast<QSystemTrayIcon&>(tray.Icon()).activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(ran_.empty());
}

TEST_F(TrayIconTest, KeptWithoutANotificationAreaAndSaidOnce) {
  ::testing::internal::CaptureStderr();
  int asked = 0;
  TrayIcon tray(Recording(), [&] {
    ++asked;
    return false;
  });
  test::ProcessEventsUntil([] { return false; }, 50ms);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(tray.IsShown());  // Qt puts it into the next notification area that appears
  EXPECT_EQ(asked, 1);
  EXPECT_NE(said.find("no notification area yet"), std::string::npos) << said;
}

}  // namespace
}  // namespace dralmin
