#pragma once

#include <QObject>
#include <condition_variable>
#include <mutex>

#include "platform/MessageBox.h"

namespace dralmin {

// Modal message boxes on the user-interface thread, which constructs this. Show on that thread
// runs the box at once; from another thread it asks the user-interface thread to show it and
// waits until the user dismissed it. After Close every Show returns at once, the text going to
// standard error, and waiting callers are released: the agent can then wait for the poll thread
// without waiting for a box nobody will show.
class QtMessageBox final : public QObject, public MessageBox {
 public:
  QtMessageBox() = default;
  ~QtMessageBox() override;
  QtMessageBox(const QtMessageBox&) = delete;
  QtMessageBox& operator=(const QtMessageBox&) = delete;

  void Show(const std::string& text, const std::string& caption) override;

  // Idempotent; from any thread.
  void Close();

 private:
  void ShowHere(const std::string& text, const std::string& caption);

  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  StderrMessageBox fallback_;
};

}  // namespace dralmin
