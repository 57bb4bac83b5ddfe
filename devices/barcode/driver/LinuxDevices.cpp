#include "devices/barcode/driver/LinuxDevices.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/Files.h"
#include "platform/SerialPort.h"

namespace dralmin {
namespace {

namespace fs = std::filesystem;

std::string Reason(int error) {
  switch (error) {
    case EACCES:
      return "permission denied (see \"Real barcode scanners\" in the README)";
    case EBUSY:
      return "another program holds it";
    default:
      return std::strerror(error);
  }
}

class EventDevice final : public ScannerDevice {
 public:
  explicit EventDevice(int fd) : fd_(fd) {}
  ~EventDevice() override {
    ioctl(fd_, EVIOCGRAB, 0);
    close(fd_);
  }

  DeviceKind Kind() const override { return DeviceKind::Keyboard; }
  int Descriptor() const override { return fd_; }

  bool Read(std::string& bytes, std::string& error) override {
    char buffer[64 * sizeof(input_event)];
    // A bounded share per turn: a device that never stops sending must not starve the others
    // (what is left is read on the next turn).
    for (int turn = 0; turn < 16; ++turn) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == EAGAIN) return true;
      error = got == 0 || errno == ENODEV ? "unplugged" : Reason(errno);
      return false;
    }
    return true;
  }

  std::vector<uint16_t> HeldKeys() const override {
    unsigned char bits[KEY_MAX / CHAR_BIT + 1] = {};
    std::vector<uint16_t> keys;
    if (ioctl(fd_, EVIOCGKEY(sizeof bits), bits) < 0) return keys;
    for (uint16_t key = 0; key <= KEY_MAX; ++key) {
      if ((bits[key / CHAR_BIT] >> (key % CHAR_BIT)) & 1) keys.push_back(key);
    }
    return keys;
  }

 private:
  int fd_;
};

class SerialDevice final : public ScannerDevice {
 public:
  // Reads take what has arrived and never wait: the event loop waits.
  SerialDevice() : port_(SerialTimings{.readBase = {}, .readPerByte = {}}) {}
  bool Open(const std::string& node) { return port_.OpenPort(node); }
  const std::string& LastError() const { return port_.LastError(); }

  DeviceKind Kind() const override { return DeviceKind::Serial; }
  int Descriptor() const override { return port_.Descriptor(); }

  bool Read(std::string& bytes, std::string& error) override {
    std::string chunk;
    if (!port_.ReadBytes(chunk, 4096)) {
      error = port_.LastError();
      return false;
    }
    bytes += chunk;
    return true;
  }

  std::vector<uint16_t> HeldKeys() const override { return {}; }

 private:
  PosixSerialPort port_;
};

std::string ReadLine(const fs::path& file) {
  const std::optional<std::string> content = ReadFileWhole(file.string());
  if (!content) return {};
  return content->substr(0, content->find('\n'));
}

// The USB device a sysfs device belongs to: the nearest folder above with idVendor.
bool UsbIdsMatch(const fs::path& sysfsDevice, const ConfiguredDevice& device) {
  std::error_code ec;
  fs::path folder = fs::canonical(sysfsDevice, ec);
  if (ec) return false;
  for (; folder.has_relative_path(); folder = folder.parent_path()) {
    if (!fs::exists(folder / "idVendor", ec)) continue;
    const auto hex = [](const std::string& text) {
      return std::strtoul(text.c_str(), nullptr, 16);
    };
    return hex(ReadLine(folder / "idVendor")) == device.vendor &&
           hex(ReadLine(folder / "idProduct")) == device.product;
  }
  return false;
}

// The nodes in `devFolder` named like the entries of `classFolder` (such as /sys/class/input)
// that start with one of `prefixes` and belong to a USB device with the configured ids.
void FindByUsbIds(const ConfiguredDevice& device, const std::string& classFolder,
                  const std::string& devFolder, std::initializer_list<std::string_view> prefixes,
                  std::vector<std::string>& nodes) {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(classFolder, ec)) {
    const std::string name = entry.path().filename().string();
    const bool named = std::any_of(prefixes.begin(), prefixes.end(), [&](std::string_view prefix) {
      return name.starts_with(prefix);
    });
    if (named && UsbIdsMatch(entry.path() / "device", device)) nodes.push_back(devFolder + name);
  }
}

}  // namespace

LinuxDevices::LinuxDevices(std::string sys, std::string dev)
    : sys_(std::move(sys)),
      dev_(std::move(dev)),
      inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

LinuxDevices::~LinuxDevices() {
  if (inotify_ >= 0) close(inotify_);
}

void LinuxDevices::WatchFolder(std::string folder) {
  if (inotify_ < 0) return;
  constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO;
  while (inotify_add_watch(inotify_, folder.c_str(), kEvents) < 0) {
    const std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return;
    folder.resize(slash);
  }
}

std::vector<std::string> LinuxDevices::Find(const ConfiguredDevice& device) {
  std::vector<std::string> nodes;
  if (!device.IsUsbId()) {
    WatchFolder(fs::path(device.path).parent_path().string());
    std::error_code ec;
    // By its real name, so that a node named twice (by-id and by itself) is opened once.
    const fs::path real = fs::canonical(device.path, ec);
    if (!ec) nodes.push_back(real.string());
    return nodes;
  }
  WatchFolder(dev_ + "/input");
  WatchFolder(dev_);
  FindByUsbIds(device, sys_ + "/class/input", dev_ + "/input/", {"event"}, nodes);
  FindByUsbIds(device, sys_ + "/class/tty", dev_ + "/", {"ttyACM", "ttyUSB"}, nodes);
  return nodes;
}

std::unique_ptr<ScannerDevice> LinuxDevices::Open(const std::string& node, std::string& error) {
  // Not O_RDWR yet: an event device needs only reading. O_NOCTTY: a serial port must not become
  // the driver's controlling terminal.
  const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = Reason(errno);
    return nullptr;
  }
  int version = 0;
  if (ioctl(fd, EVIOCGVERSION, &version) == 0) {
    // Grabbed, the scanner's keys reach this process only: not the focused window, and not
    // through the desktop's layout.
    if (ioctl(fd, EVIOCGRAB, 1) != 0) {
      error = "it cannot be taken over: " + Reason(errno);
      close(fd);
      return nullptr;
    }
    // Key times by the monotonic clock, which a change of the system time does not move: the
    // gaps between keys tell where a code ends.
    const int monotonic = CLOCK_MONOTONIC;
    ioctl(fd, EVIOCSCLOCKID, &monotonic);
    return std::make_unique<EventDevice>(fd);
  }
  close(fd);
  auto serial = std::make_unique<SerialDevice>();
  if (!serial->Open(node)) {
    error = serial->LastError();
    return nullptr;
  }
  return serial;
}

void LinuxDevices::TakeChanges() {
  char buffer[4096];
  while (read(inotify_, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace dralmin
