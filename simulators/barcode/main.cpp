// The simulated barcode scanner driver: owns the driver's name on the session bus and sends one
// scan per line typed on standard input (the line's bytes are the code). Prints "ready" once the
// name is owned; ends on SIGTERM or SIGINT, or with 2 when the bus or the name is not available.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QSocketNotifier>

#include <cstdio>

#include "ScannerDriverAdaptor.h"
#include "simulators/barcode/SimulatedScannerDriver.h"

int main(int argc, char** argv) {
  // Stop signals are read from a descriptor by the event loop; blocked before Qt starts threads.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const int stopFd = signalfd(-1, &stop, SFD_CLOEXEC);

  QCoreApplication app(argc, argv);
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

  dralmin::SimulatedScannerDriver driver;
  new ScannerDriverAdaptor(&driver);  // owned by the driver
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "no session bus\n");
    return 2;
  }
  if (!bus.registerObject(QString::fromLatin1(dralmin::kScannerDriverObjectPath), &driver) ||
      !bus.registerService(QString::fromLatin1(dralmin::kScannerDriverBusName))) {
    std::fprintf(stderr, "cannot own %s: %s\n", dralmin::kScannerDriverBusName,
                 bus.lastError().message().toUtf8().constData());
    return 2;
  }

  // Lines are read from the descriptor as they come, so that a scan is sent at once even when the
  // input is a pipe. At the end of the input the driver stays until it is told to stop.
  QByteArray pending;
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &driver, [&] {
    char chunk[4096];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
      input.setEnabled(false);
      return;
    }
    pending.append(chunk, got);
    for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
      QByteArray line = pending.left(end);
      pending.remove(0, end + 1);
      if (line.endsWith('\r')) line.chop(1);
      driver.Scan(line);
    }
  });

  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
