// "/scan/" and "/getscan/" through the running agent, with the simulated scanner and a receiving
// server on loopback.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

// A receiving server from simulators/receiver, on a free port.
class Receiver {
 public:
  explicit Receiver(const std::string& folder, std::vector<std::string> options = {}) {
    const std::string portFile = folder + ".port";
    std::vector<std::string> argv{"python3", DRALMIN_RECEIVER_PATH, "--port", "0", "--folder",
                                  folder,    "--port-file",         portFile};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv);
    WaitFor([&] { return std::filesystem::exists(portFile); }, 20s);
    std::ifstream(portFile) >> port_;
  }
  uint16_t port() const { return port_; }
  void Kill() { process_->Kill(); }

 private:
  std::unique_ptr<ChildProcess> process_;
  uint16_t port_ = 0;
};

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Width and height of a JPEG file, or 0x0 when it does not decode.
std::pair<int, int> JpegSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 4) return {0, 0};
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
  const std::pair<int, int> size{static_cast<int>(info.image_width),
                                 static_cast<int>(info.image_height)};
  jpeg_destroy_decompress(&info);
  return size;
}

class ScanAgentTest : public ::testing::Test {
 protected:
  std::vector<std::string> Env(const std::string& pages) {
    return {"DRALMIN_TWAIN_DSM=" DRALMIN_TWAIN_SIM_PATH, "DRALMIN_TWAIN_SIM_PAGES=" + pages,
            "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="};
  }

  // Collects identifiers over "/getscan/" until `count` pages have been uploaded.
  std::string Collect(AgentProcess& agent, const std::string& rest, size_t count) {
    std::string ids;
    size_t got = 0;
    WaitFor(
        [&] {
          const std::string body = agent.Get("/getscan/" + rest);
          const std::string head = "DralminScan__callback_abc({ids:'";
          if (body.rfind(head, 0) != 0) return false;
          const std::string list =
              body.substr(head.size(), body.find('\'', head.size()) - head.size());
          if (!list.empty()) {
            ids += (ids.empty() ? "" : ",") + list;
            got += std::count(list.begin(), list.end(), ',') + 1;
          }
          return got >= count;
        },
        20s);
    return ids;
  }

  TempFolder folder_;
};

TEST_F(ScanAgentTest, PagesArriveAsJpegsInScanningOrder) {
  Receiver receiver(folder_.path() + "/pages", {"--first-id", "7"});
  AgentProcess agent(Env("24x64x48,8x30x20,1x17x9"));
  const std::string rest = "abc/file/127.0.0.1:" + std::to_string(receiver.port()) + "/upload";

  EXPECT_EQ(agent.Get("/getscan/" + rest), "");  // before any scan the key does not match
  EXPECT_EQ(agent.Get("/scan/abc"), "");
  EXPECT_EQ(Collect(agent, rest, 3), "7,8,9");

  const auto log = Lines(folder_.path() + "/pages/received.log");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(0, 16), "7 file scan.jpg ");
  EXPECT_EQ(JpegSize(folder_.path() + "/pages/7.jpg"), std::make_pair(64, 48));
  EXPECT_EQ(JpegSize(folder_.path() + "/pages/8.jpg"), std::make_pair(30, 20));
  EXPECT_EQ(JpegSize(folder_.path() + "/pages/9.jpg"), std::make_pair(17, 9));

  // Queue empty now: nothing more to send.
  EXPECT_EQ(agent.Get("/getscan/" + rest), "");
  EXPECT_EQ(agent.Get("/getscan/other/file/127.0.0.1:1/upload"), "");
}

TEST_F(ScanAgentTest, PagesThatCouldNotBeUploadedAreKeptForTheNextRequest) {
  Receiver refusing(folder_.path() + "/refused", {"--fail-after", "1"});
  AgentProcess agent(Env("24x40x30,24x41x31,24x42x32"));
  const std::string refusingRest =
      "abc/file/127.0.0.1:" + std::to_string(refusing.port()) + "/upload";

  EXPECT_EQ(agent.Get("/scan/abc"), "");
  // The first page goes through, the second is refused: the run stops there with the reason.
  ASSERT_TRUE(WaitFor(
      [&] {
        return agent.Get("/getscan/" + refusingRest)
                   .find("error:'upload refused with HTTP status 500'") != std::string::npos;
      },
      20s));

  Receiver working(folder_.path() + "/pages", {"--first-id", "20"});
  const std::string rest = "abc/file/127.0.0.1:" + std::to_string(working.port()) + "/upload";
  EXPECT_EQ(Collect(agent, rest, 2), "20,21");
  const auto refused = Lines(folder_.path() + "/refused/received.log");
  const auto received = Lines(folder_.path() + "/pages/received.log");
  EXPECT_EQ(refused.size() + received.size(), 3u);  // every page arrived exactly once
  EXPECT_EQ(refused.size(), 1u);
  EXPECT_EQ(JpegSize(folder_.path() + "/pages/20.jpg").first, 41);  // the refused page, first
  EXPECT_EQ(JpegSize(folder_.path() + "/pages/21.jpg").first, 42);
}

}  // namespace
}  // namespace dralmin::test

namespace dralmin::test {
namespace {

// Without a TWAIN manager the agent scans through SANE: its test backend's feeder of 10 pages.
TEST_F(ScanAgentTest, WithoutATwainManagerTheSaneFeederPagesArrive) {
  std::ofstream(folder_.path() + "/dll.conf") << "test\n";
  std::ofstream(folder_.path() + "/test.conf")
      << "number_of_devices 1\ntest-picture \"Color pattern\"\nbr_x 40.0\nbr_y 30.0\n";
  Receiver receiver(folder_.path() + "/pages");
  AgentProcess agent({"DRALMIN_TWAIN_DSM=" + folder_.path() + "/no-such-manager.so",
                      "SANE_CONFIG_DIR=" + folder_.path(), "DRALMIN_SCAN_DIALOG=false",
                      "DRALMIN_SCAN_RESOLUTION=100",
                      "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="});
  const std::string rest = "abc/file/127.0.0.1:" + std::to_string(receiver.port()) + "/upload";

  EXPECT_EQ(agent.Get("/scan/abc"), "");
  EXPECT_EQ(Collect(agent, rest, 10), "1,2,3,4,5,6,7,8,9,10");
  for (int id = 1; id <= 10; ++id) {
    EXPECT_EQ(JpegSize(folder_.path() + "/pages/" + std::to_string(id) + ".jpg"),
              std::make_pair(157, 118));
  }
}

}  // namespace
}  // namespace dralmin::test
