#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdlib>

namespace dralmin::test {

// The one QApplication of the test program, on the offscreen platform unless one was chosen.
inline void EnsureQtApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
}

// Runs the event loop until `condition` holds or the timeout passes.
template <typename Condition>
bool ProcessEventsUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

}  // namespace dralmin::test
