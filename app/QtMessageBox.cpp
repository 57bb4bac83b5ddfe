#include "app/QtMessageBox.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QMetaObject>
#include <QSpacerItem>
#include <QThread>
#include <memory>

#include "app/AgentIcon.h"

namespace dralmin {
namespace {

// Room for the title bar's icon and buttons (some window managers keep all three whatever the
// window asks for) and margins, in text lines; title fonts are often larger than the box's.
constexpr int kTitleBarAllowance = 6;
constexpr double kTitleFontScale = 1.25;

}  // namespace

QtMessageBox::~QtMessageBox() {
  Close();
}

void QtMessageBox::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

void QtMessageBox::Show(const std::string& text, const std::string& caption) {
  if (QThread::currentThread() == thread()) {
    ShowHere(text, caption);
    return;
  }
  // The request outlives this call when Close releases the caller before the box was shown.
  auto done = std::make_shared<bool>(false);
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      fallback_.Show(text, caption);
      return;
    }
  }
  QMetaObject::invokeMethod(
      this,
      [this, done, text, caption] {
        ShowHere(text, caption);
        std::lock_guard lock(mutex_);
        *done = true;
        changed_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return *done || closed_; });
}

void QtMessageBox::ShowHere(const std::string& text, const std::string& caption) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      fallback_.Show(text, caption);
      return;
    }
  }
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok);
  DecorateDialog(box);
  // The window manager draws the caption beside the icon and the close button; a box sized for
  // its text alone cuts a longer caption short.
  QFont titleFont = box.font();
  titleFont.setBold(true);
  const int captionWidth =
      static_cast<int>(kTitleFontScale *
                       QFontMetrics(titleFont).horizontalAdvance(box.windowTitle())) +
      kTitleBarAllowance * box.fontMetrics().height();
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(captionWidth, 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
}

}  // namespace dralmin
