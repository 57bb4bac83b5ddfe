#include "app/QtMessageBox.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <memory>

namespace dralmin {

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
  box.exec();
}

}  // namespace dralmin
