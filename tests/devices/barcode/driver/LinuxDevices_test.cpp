#include "devices/barcode/driver/LinuxDevices.h"

#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "devices/barcode/driver/ScannerReader.h"
#include "tests/devices/barcode/driver/EventStream.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

// The real device layer on `node`, until `done` holds or 10 s have passed.
class RealReader {
 public:
  explicit RealReader(const std::string& node) {
    std::string error;
    ScannerReader::Options options;
    options.layout = KeyboardLayout::Compile("us", error);
    reader_ = std::make_unique<ScannerReader>(
        devices_, std::vector<ConfiguredDevice>{*ParseConfiguredDevice(node, error)}, options,
        [this](const std::string& code, int) { codes.push_back(code); });
  }
  template <typename Condition>
  bool RunUntil(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      reader_->RunOnce(100ms);
    }
    return true;
  }
  std::size_t OpenCount() const { return reader_->OpenCount(); }

  std::vector<std::string> codes;

 private:
  LinuxDevices devices_;
  std::unique_ptr<ScannerReader> reader_;
};

TEST(LinuxDevicesTest, ASerialScannerOnAPseudoTerminalIsReadRawUntilItHangsUp) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  RealReader reader(ptsname(master));
  ASSERT_EQ(reader.OpenCount(), 1u);

  // Raw: the CR is not turned into a line feed, nor the byte 0x03 into an interrupt.
  const std::string sent = "4601\r\n\x03\xC9Z\r";
  ASSERT_EQ(write(master, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  EXPECT_TRUE(reader.RunUntil([&] { return reader.codes.size() >= 2; }));
  EXPECT_THAT(reader.codes, ElementsAre("4601", "\x03\xC9Z"));

  close(master);
  EXPECT_TRUE(reader.RunUntil([&] { return reader.OpenCount() == 0; }));
}

TEST(LinuxDevicesTest, AUsbIdNamesTheEventDevicesAndSerialPortsOfThatDeviceOnly) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/dralmin-sysfs-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  // sysfs as the kernel lays it out: class entries link to a USB interface's children, and the
  // ids are on the USB device above the interface.
  const auto usbDevice = [&](const std::string& name, const char* vendor, const char* product) {
    fs::create_directories(root / "sys/devices/pci0/usb1" / name / (name + ":1.0"));
    std::ofstream(root / "sys/devices/pci0/usb1" / name / "idVendor") << vendor << "\n";
    std::ofstream(root / "sys/devices/pci0/usb1" / name / "idProduct") << product << "\n";
    return root / "sys/devices/pci0/usb1" / name / (name + ":1.0");
  };
  const auto classEntry = [&](const std::string& cls, const std::string& name,
                              const fs::path& device) {
    fs::create_directories(device);
    fs::create_directories(root / "sys/class" / cls / name);
    fs::create_directory_symlink(device, root / "sys/class" / cls / name / "device");
  };
  const fs::path scanner = usbDevice("1-1", "05e0", "1200");
  const fs::path keyboard = usbDevice("1-2", "046d", "c31c");
  classEntry("input", "event3", scanner / "0003:05E0:1200.0001/input/input3");
  classEntry("input", "event4", keyboard / "0003:046D:C31C.0002/input/input4");
  classEntry("tty", "ttyACM0", scanner);
  classEntry("tty", "tty1", root / "sys/devices/virtual/tty/tty1");

  std::string error;
  LinuxDevices devices((root / "sys").string(), (root / "dev").string());
  std::vector<std::string> nodes = devices.Find(*ParseConfiguredDevice("usb:05E0:1200", error));
  std::sort(nodes.begin(), nodes.end());
  EXPECT_THAT(nodes,
              ElementsAre((root / "dev/input/event3").string(), (root / "dev/ttyACM0").string()));
  EXPECT_THAT(devices.Find(*ParseConfiguredDevice("usb:05e0:1201", error)), ::testing::IsEmpty());
  fs::remove_all(root);
}

// The uinput keyboard's event node, such as /dev/input/event7; empty when not found.
std::string EventNodeOf(int uinput) {
  char name[64] = {};
  if (ioctl(uinput, UI_GET_SYSNAME(sizeof name), name) < 0) return {};
  const std::string folder = std::string("/sys/devices/virtual/input/") + name;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return {};
  std::string node;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "event", 5) == 0)
      node = std::string("/dev/input/") + entry->d_name;
  }
  closedir(dir);
  return node;
}

TEST(LinuxDevicesTest, AVirtualKeyboardScannerIsGrabbedAndRead) {
  const int uinput = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (uinput < 0) {
    GTEST_SKIP() << "no virtual keyboard can be made here (/dev/uinput: " << std::strerror(errno)
                 << "); the event device path is only tested where it can";
  }
  ioctl(uinput, UI_SET_EVBIT, EV_KEY);
  for (int key = KEY_ESC; key <= KEY_KPDOT; ++key) ioctl(uinput, UI_SET_KEYBIT, key);
  uinput_setup setup{};
  setup.id = {BUS_USB, 0x1234, 0x5678, 1};
  std::strcpy(setup.name, "dralmin test scanner");
  ASSERT_EQ(ioctl(uinput, UI_DEV_SETUP, &setup), 0);
  ASSERT_EQ(ioctl(uinput, UI_DEV_CREATE), 0);
  std::string node;
  for (int i = 0; i < 500 && (node.empty() || access(node.c_str(), R_OK) != 0); ++i) {
    usleep(10000);  // udev makes the node
    node = EventNodeOf(uinput);
  }
  ASSERT_FALSE(node.empty());

  {
    RealReader reader(node);
    ASSERT_EQ(reader.OpenCount(), 1u);
    const int other = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(ioctl(other, EVIOCGRAB, 1), 0) << "the driver holds the scanner's keys alone";
    close(other);

    const std::string events =
        test::EventStream().Shifted(KEY_A).Digits("46").Tap(KEY_ENTER).bytes();
    ASSERT_EQ(write(uinput, events.data(), events.size()), static_cast<ssize_t>(events.size()));
    EXPECT_TRUE(reader.RunUntil([&] { return !reader.codes.empty(); }));
    EXPECT_THAT(reader.codes, ElementsAre("A46"));
  }
  ioctl(uinput, UI_DEV_DESTROY);
  close(uinput);
}

}  // namespace
}  // namespace dralmin
