#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdlib>

namespace dralmin::test {

// The one QApplication of the test program, on the offscreen platform (the minimal one with the
// system's fonts on Windows, whose Qt is built without FreeType, which offscreen needs) unless one
// was chosen.
inline void EnsureQtApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  // Chosen by argument, not by the environment, which the agents these tests start inherit.
  static char name[] = "app_tests";
  static char option[] = "-platform";
#ifdef _WIN32
  static char platform[] = "minimal:enable_fonts";
#else
  static char platform[] = "offscreen";
#endif
  static char* argv[] = {name, option, platform, nullptr};
  static int argc = std::getenv("QT_QPA_PLATFORM") == nullptr ? 3 : 1;
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
