// dralmin-scanner-driver: the barcode scanner driver on the session bus. Reads keyboard scanners
// (event devices, grabbed) and serial scanners named by the barcode_* settings or --device, and
// sends each code to the agent as a ScanDataEvent. The bus starts it when the agent looks for it.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "devices/barcode/ScannerDriverBus.h"
#include "devices/barcode/driver/LinuxDevices.h"
#include "ScannerDriverAdaptor.h"
#include "devices/barcode/driver/ScannerDriverService.h"
#include "devices/barcode/driver/ScannerReader.h"
#include "platform/Log.h"
#include "settings/SettingsFiles.h"

namespace {

constexpr const char* kUsage =
    "Usage: dralmin-scanner-driver [--device PATH]...\n"
    "\n"
    "The barcode scanner driver of the Dralmin tray agent. It owns org.dralmin.ScannerDriver on\n"
    "the session bus (which starts it when the agent asks for it) and sends every code scanned\n"
    "on the configured devices to the agent.\n"
    "\n"
    "Devices are the barcode_devices setting of agent.conf: event devices of keyboard scanners\n"
    "(/dev/input/by-id/...-event-kbd), serial ports (/dev/ttyACM0, /dev/serial/by-id/...) or\n"
    "usb:VVVV:PPPP for every node of one USB device.\n"
    "\n"
    "  --device PATH   read this device instead of the configured ones (repeatable; also\n"
    "                  usb:VVVV:PPPP)\n"
    "  --help          show this text\n";

constexpr std::string_view kComponent = "barcode";

struct Arguments {
  std::vector<std::string> devices;
  bool help = false;
  std::string error;
};

Arguments ParseArguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      arguments.help = true;
    } else if (arg == "--device" && i + 1 < argc) {
      arguments.devices.emplace_back(argv[++i]);
    } else if (arg.starts_with("--device=")) {
      arguments.devices.emplace_back(arg.substr(std::strlen("--device=")));
    } else {
      arguments.error = "unknown argument '" + std::string(arg) + "'";
    }
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dralmin;
  const Arguments arguments = ParseArguments(argc, argv);
  if (arguments.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!arguments.error.empty()) {
    std::fprintf(stderr, "dralmin-scanner-driver: %s\n\n%s", arguments.error.c_str(), kUsage);
    return 2;
  }

  // Stop signals are read from a descriptor by the event loop; blocked before Qt starts threads.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const int stopFd = signalfd(-1, &stop, SFD_CLOEXEC);

  const AgentSettings settings = LoadAgentSettings(SettingsSourcesFromEnvironment(), std::cerr);
  SetLogLevel(settings.logLevel);

  std::vector<ConfiguredDevice> configured;
  for (const std::string& text :
       arguments.devices.empty() ? settings.barcodeDevices : arguments.devices) {
    std::string error;
    if (auto device = ParseConfiguredDevice(text, error)) {
      configured.push_back(std::move(*device));
    } else {
      LogError(kComponent, error);
    }
  }

  ScannerReader::Options options;
  std::string error;
  options.layout = KeyboardLayout::Compile(settings.barcodeLayout, error);
  if (!options.layout) {
    LogError(kComponent, error + " (barcode_layout); the scanners are read as US keyboards");
    options.layout = KeyboardLayout::Compile("us", error);
    if (!options.layout) {
      LogError(kComponent, error + ": are the keyboard layouts (xkb-data) installed?");
      return 2;
    }
  }
  options.framing.end = settings.barcodeEnd == BarcodeEnd::Tab ? EndKey::Tab : EndKey::Enter;
  options.framing.idleGap = std::chrono::milliseconds(settings.barcodeIdleMs);

  QCoreApplication app(argc, argv);
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

  // The name first: a second driver must end before it takes any device over.
  ScannerDriverService service;
  new ScannerDriverAdaptor(&service);  // owned by the service
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    LogError(kComponent, "there is no session bus: " + bus.lastError().message().toStdString());
    return 2;
  }
  if (!bus.registerObject(QString::fromLatin1(kScannerDriverObjectPath), &service) ||
      !bus.registerService(QString::fromLatin1(kScannerDriverBusName))) {
    // A name already owned is refused without a bus error: that is another driver running.
    const QDBusError error = bus.lastError();
    LogError(kComponent, std::string("cannot own ") + kScannerDriverBusName + ": " +
                             (error.isValid() ? error.message().toStdString()
                                              : "another scanner driver already runs"));
    return 2;
  }

  // The session ends with its bus; so does the driver, which would otherwise keep the devices.
  bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
              QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), &app,
              SLOT(quit()));

  LinuxDevices devices;
  ScannerReader reader(
      devices, std::move(configured), options,
      [&service](const std::string& code, int scannerId) { service.Scan(code, scannerId); });

  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);  // the idle gap is tens of milliseconds
  const auto process = [&] {
    reader.Process();
    if (const auto when = reader.NextWake()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*when - ScannerReader::Clock::now());
      wake.start(std::max<int>(0, static_cast<int>(left.count())));
    } else {
      wake.stop();
    }
  };
  QSocketNotifier input(reader.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, process);
  QObject::connect(&wake, &QTimer::timeout, &app, process);
  process();

  const int status = app.exec();
  if (!bus.isConnected()) LogInfo(kComponent, "the session bus has ended");
  return status;
}
