#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/devices/barcode/DriverSimulator.h"
#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal standing in for a serial scanner: what is written to it is scanned.
class FakeSerialScanner {
 public:
  FakeSerialScanner() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~FakeSerialScanner() {
    if (master_ >= 0) close(master_);
  }
  const std::string& path() const { return path_; }
  bool Scan(const std::string& line) {
    const std::string bytes = line + "\r\n";
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int master_;
  std::string path_;
};

// A bus that starts the real driver on demand, on `device`, as the installed service file has
// the session bus do.
std::string WriteBusConfig(const std::string& folder, const std::string& device) {
  std::ofstream(folder + "/org.dralmin.ScannerDriver.service")
      << "[D-BUS Service]\nName=org.dralmin.ScannerDriver\nExec=" << DRALMIN_SCANNER_DRIVER_PATH
      << " --device " << device << "\n";
  const std::string config = folder + "/bus.conf";
  // The standard session bus's policy, with this folder as the only source of services.
  std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                        << "<servicedir>" << folder << "</servicedir><policy context=\"default\">"
                        << "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                        << "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
  return config;
}

// The process that owns `name` on the bus at `address`; 0 when none does.
int OwnerProcess(const std::string& address, const std::string& name) {
  const CommandResult reply = RunCommand("dbus-send --bus='" + address +
                                         "' --print-reply --dest=org.freedesktop.DBus / "
                                         "org.freedesktop.DBus.GetConnectionUnixProcessID string:" +
                                         name + " 2>/dev/null");
  const std::size_t at = reply.output.find("uint32 ");
  return at == std::string::npos ? 0 : std::atoi(reply.output.c_str() + at + 7);
}

// False once the process has ended (a zombie has ended too: nobody here reaps it).
bool Running(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

TEST(ScannerDriverTest, TheBusStartsTheDriverForTheAgentAndASerialScanReachesBarcode) {
  FakeSerialScanner scanner;
  ASSERT_FALSE(scanner.path().empty());
  TempFolder folder;
  auto bus = std::make_unique<PrivateBus>(WriteBusConfig(folder.path(), scanner.path()));
  ASSERT_FALSE(bus->address().empty()) << "dbus-daemon did not start";

  AgentProcess agent({"DBUS_SESSION_BUS_ADDRESS=" + bus->address()});
  // The driver takes the port over at some point after the agent started it; until then a code
  // typed may be flushed away with the port's old input, so it is typed again until it comes.
  std::string body;
  ASSERT_TRUE(WaitFor(
      [&] {
        if (!scanner.Scan("4601")) return false;
        return WaitFor([&] { return !(body = agent.Get("/barcode")).empty(); }, 300ms);
      },
      20s));
  EXPECT_EQ(body, "DralminBarcode__callback({code:'4601'})");

  // The session ends: so does the driver.
  const int driver = OwnerProcess(bus->address(), "org.dralmin.ScannerDriver");
  ASSERT_GT(driver, 0);
  bus.reset();
  EXPECT_TRUE(WaitFor([&] { return !Running(driver); }, 10s));
  EXPECT_EQ(agent.Stop(), 0);
}

}  // namespace
}  // namespace dralmin::test
