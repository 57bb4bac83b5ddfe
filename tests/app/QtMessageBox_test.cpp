#include "app/QtMessageBox.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

#include "tests/app/QtTestApplication.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;

class QtMessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureQtApplication(); }
};

TEST_F(QtMessageBoxTest, ABoxAskedForByAnotherThreadIsShownHereWhileThatThreadWaits) {
  QtMessageBox boxes;
  std::atomic<bool> returned{false};
  std::thread poll([&] {
    boxes.Show("streamSize == 0", "Start upload error");
    returned = true;
  });

  // The box runs its own loop on this thread; a timer inside that loop looks at it and, after a
  // few turns that show the other thread still waiting, dismisses it as the user would.
  std::string title;
  std::string text;
  bool modal = false;
  bool decorated = false;
  bool wideEnough = false;
  bool waitedForTheUser = false;
  int turns = 0;
  QTimer inspector;
  QObject::connect(&inspector, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    title = box->windowTitle().toStdString();
    text = box->text().toStdString();
    modal = box->isModal() && box->standardButtons() == QMessageBox::Ok;
    decorated =
        (box->windowFlags() & Qt::WindowCloseButtonHint) &&
        !(box->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)) &&
        box->windowIcon().availableSizes().contains(QSize(16, 16));
    // The caption, in the bold of title bars, beside an icon and a close button.
    QFont bold = box->font();
    bold.setBold(true);
    wideEnough = box->width() >= QFontMetrics(bold).horizontalAdvance(box->windowTitle()) +
                                     3 * box->fontMetrics().height();
    if (++turns < 5) return;
    waitedForTheUser = !returned;
    box->button(QMessageBox::Ok)->click();
  });
  inspector.start(5);
  const bool ended = test::ProcessEventsUntil([&] { return returned.load(); }, 10s);
  if (!ended) boxes.Close();
  poll.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(title, "Start upload error");
  EXPECT_EQ(text, "streamSize == 0");
  EXPECT_TRUE(modal);
  EXPECT_TRUE(decorated);
  EXPECT_TRUE(wideEnough);
  EXPECT_TRUE(waitedForTheUser);
}

TEST_F(QtMessageBoxTest, CloseReleasesAWaitingThreadAndLaterBoxesReturnAtOnce) {
  QtMessageBox boxes;
  std::atomic<bool> returned{false};
  // The user-interface thread does not run its loop, as when the agent is shutting down and
  // waits for the poll thread; whether the request was queued before Close or not, it returns.
  std::thread poll([&] {
    boxes.Show("Start upload error", "Start upload error");
    returned = true;
  });
  boxes.Close();
  poll.join();
  EXPECT_TRUE(returned);

  // The queued request is dropped, and a box asked for now does not wait.
  test::ProcessEventsUntil([] { return QApplication::activeModalWidget() != nullptr; }, 100ms);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  std::thread late([&] { boxes.Show("late", "Error"); });
  late.join();
}

}  // namespace
}  // namespace dralmin
