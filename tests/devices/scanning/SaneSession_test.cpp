// The SANE session against SANE's own "test" backend, in process.
#include "devices/scanning/SaneSession.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sane/saneopts.h>

#include <dlfcn.h>
#include <pthread.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "devices/scanning/JpegRowEncoder.h"
#include "devices/scanning/SaneLibrary.h"
#include "devices/scanning/ScannerListing.h"
#include "platform/MessageBox.h"
#include "tests/testkit/Helpers.h"

// libsane's test backend keeps a few strings and its reader thread's buffer for good, and unloads
// itself at sane_exit, after which the leak checker cannot tell whose those blocks are: a
// suppression cannot name them. Only here, where libsane runs in process, leaks go unchecked;
// memory errors are still caught.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}

// SANE lets sane_cancel come from another thread while sane_read runs; the backend, not built for
// the thread sanitizer, closes its pipe then in its own way, which the sanitizer cannot follow.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libsane-test.so.1\n";
}

// libsane runs the test backend's reader thread with asynchronous cancellation, and that backend
// cancels the reader as soon as the last bytes are read, or when a scan is cancelled. A reader
// cancelled inside free() leaves the allocator locked, and the scan never ends (seen once in a few
// thousand scans, more often under the sanitizers). Deferred cancellation, acted on at the
// reader's next write, keeps the device dependable; the executable exports this for libsane.
extern "C" int pthread_setcanceltype(int type, int* old) {
  using Next = int (*)(int, int*);
  static const auto next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "pthread_setcanceltype"));
  return next(type == PTHREAD_CANCEL_ASYNCHRONOUS ? PTHREAD_CANCEL_DEFERRED : type, old);
}

namespace dralmin {
namespace {

using namespace std::chrono_literals;

class RecordingMessages : public MessageBox {
 public:
  void Show(const std::string& text, const std::string& caption) override {
    std::lock_guard lock(mutex_);
    shown_.push_back(caption + ": " + text);
  }
  std::vector<std::string> Shown() {
    std::lock_guard lock(mutex_);
    return shown_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> shown_;
};

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

Image Decode(const std::string& jpeg) {
  Image image;
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  EXPECT_EQ(info.output_components, 3);
  image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        image.rgb.data() + static_cast<std::size_t>(info.output_scanline) * image.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return image;
}

// A binary PNM file (P4, P5 or P6; 8 or 16 bits) as colour samples.
Image ParsePnm(const std::string& bytes) {
  Image image;
  const std::string kind = bytes.substr(0, 2);
  const std::size_t wanted = kind == "P4" ? 2 : 3;
  std::vector<int> fields;
  std::size_t at = 2;
  while (fields.size() < wanted && at < bytes.size()) {
    if (bytes[at] == '#') {
      at = bytes.find('\n', at);
    } else if (std::isdigit(static_cast<unsigned char>(bytes[at]))) {
      std::size_t length = 0;
      fields.push_back(std::stoi(bytes.substr(at, 12), &length));
      at += length;
      continue;
    }
    ++at;
  }
  if (fields.size() < wanted) return image;
  ++at;  // the one blank that ends the header
  image.width = fields[0];
  image.height = fields[1];
  const int wide = kind != "P4" && fields[2] > 255 ? 2 : 1;
  const int channels = kind == "P6" ? 3 : 1;
  // scanimage writes a device's padded lines as they are: the data tells the line length.
  const std::size_t stride = (bytes.size() - at) / image.height;
  for (int y = 0; y < image.height; ++y) {
    const std::size_t row = at + y * stride;
    for (int x = 0; x < image.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        uint8_t v;
        if (kind == "P4") {
          v = ((static_cast<uint8_t>(bytes[row + x / 8]) >> (7 - x % 8)) & 1) ? 0 : 255;
        } else {
          // 16-bit PNM samples are big-endian: the high byte comes first.
          v = static_cast<uint8_t>(bytes[row + (x * channels + (channels == 3 ? c : 0)) * wide]);
        }
        image.rgb.push_back(v);
      }
    }
  }
  return image;
}

// Mean difference per sample over the columns both images have.
double Difference(const Image& a, const Image& b) {
  const int width = std::min(a.width, b.width);
  const int height = std::min(a.height, b.height);
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < 3 * width; ++x) {
      sum += std::abs(a.rgb[(y * a.width * 3) + x] - b.rgb[(y * b.width * 3) + x]);
    }
  }
  return sum / (3.0 * width * height);
}

class SaneSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A cancelled scan closes the pipe the reader may still be writing to.
    std::signal(SIGPIPE, SIG_IGN);
    std::ofstream(folder_.path() + "/dll.conf") << "test\n";
    setenv("SANE_CONFIG_DIR", folder_.path().c_str(), 1);
  }

  // The test device's settings (test.conf lines) for the next session.
  void Configure(const std::string& lines) {
    std::ofstream(folder_.path() + "/test.conf")
        << "number_of_devices 1\ntest-picture \"Color pattern\"\nbr_x 40.0\nbr_y 30.0\n"
        << lines;
  }

  std::unique_ptr<SaneSession> Session(ScanChoices choices, ScanDialog* dialog = nullptr,
                                       bool askBeforeScan = true,
                                       ScannerListing* listing = nullptr) {
    std::string error;
    auto library = LoadSaneLibrary(kSaneLibraryName, error);
    EXPECT_NE(library, nullptr) << error;
    return std::make_unique<SaneSession>(
        std::move(library), std::move(choices), dialog, messages_,
        [this](std::string_view jpeg) {
          std::lock_guard lock(mutex_);
          pages_.emplace_back(jpeg);
          return pages_.size() <= keepPages_;
        },
        askBeforeScan, listing);
  }

  // Scans with these choices to the end; the pages.
  std::vector<std::string> ScanAll(const ScanChoices& choices, bool expectStart = true) {
    auto session = Session(choices);
    EXPECT_EQ(session->Acquire(), expectStart);
    EXPECT_TRUE(test::WaitFor([&] { return !session->Busy(); }, 30s));
    session.reset();
    std::lock_guard lock(mutex_);
    return std::exchange(pages_, {});
  }

  // The same scan made by scanimage, as an image.
  // JPEG-encoded the same way, so that only a difference in the rows shows.
  static Image Scanimage(const std::string& mode) {
    const test::CommandResult result = test::RunCommand(
        "scanimage -d test:0 --resolution 100 --source Flatbed --format=pnm --mode " +
        std::string(mode == "color" ? "Color" : "Gray") + " 2>/dev/null");
    const Image raw = ParsePnm(result.output);
    JpegRowEncoder encoder;
    if (!encoder.Start(raw.width, raw.height)) return {};
    for (int y = 0; y < raw.height; ++y) encoder.WriteRow(&raw.rgb[3 * raw.width * y]);
    return Decode(encoder.Finish());
  }

  static ScanChoices At100(std::string source = "flatbed", std::string mode = "color") {
    return ScanChoices{"", std::move(source), std::move(mode), 100};
  }

  test::TempFolder folder_;
  RecordingMessages messages_;
  std::mutex mutex_;
  std::vector<std::string> pages_;
  std::size_t keepPages_ = 1000;  // the sink refuses pages past this many
};

TEST_F(SaneSessionTest, TheFeederGivesPagesUntilItIsEmptyAndTheFlatbedOne) {
  Configure("");
  // 40 x 30 mm at 100 dpi.
  const std::vector<std::string> fed = ScanAll(At100(""));  // the feeder when there is one
  ASSERT_EQ(fed.size(), 10u);
  for (const std::string& page : fed) {
    const Image image = Decode(page);
    EXPECT_EQ(image.width, 157);
    EXPECT_EQ(image.height, 118);
  }
  EXPECT_EQ(ScanAll(At100("flatbed")).size(), 1u);
  EXPECT_TRUE(messages_.Shown().empty());
}

// A full or unwritable queue (which told the user itself) ends the feeder's scan at that page.
TEST_F(SaneSessionTest, APageTheQueueDoesNotKeepEndsTheScan) {
  Configure("");
  keepPages_ = 3;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ScanAll(At100("")).size(), 4u);  // the fourth was offered and refused
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              testing::HasSubstr("stopped after 3 page(s): the next page was not kept"));
  EXPECT_TRUE(messages_.Shown().empty());
  keepPages_ = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ScanAll(At100("")).size(), 1u);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(messages_.Shown().empty());  // no "Error start scan" after the queue's own box
}

TEST_F(SaneSessionTest, EveryFrameKindGivesThePictureScanimageSees) {
  const auto same = [&](const std::string& lines, const char* mode) {
    SCOPED_TRACE(lines + mode);
    Configure(lines);
    const std::vector<std::string> pages = ScanAll(At100("flatbed", mode));
    ASSERT_EQ(pages.size(), 1u);
    const Image image = Decode(pages[0]);
    const Image reference = Scanimage(mode);
    ASSERT_GT(reference.width, 0);
    EXPECT_EQ(image.width, reference.width);
    EXPECT_EQ(image.height, reference.height);
    EXPECT_LT(Difference(image, reference), 0.01);
  };
  same("", "color");
  same("", "gray");
  // 16-bit samples in host order, of which the high byte counts.
  same("depth 16\n", "color");
  same("depth 16\n", "gray");
  // A set bit of a 1-bit grey line is black.
  same("depth 1\n", "gray");
  // Three frames, red, green and blue, in any order.
  same("three-pass true\nthree-pass-order GBR\n", "color");
  // Lines longer than their pixels: the padding is not part of the picture.
  same("ppl-loss 7\n", "color");
  same("ppl-loss 7\ndepth 16\n", "gray");
  // A hand scanner does not tell the height (-1).
  same("hand-scanner true\n", "color");
}

TEST_F(SaneSessionTest, BlackAndWhiteIsGreyAtOneBitWhereTheDeviceHasNoSuchMode) {
  std::ofstream(folder_.path() + "/test.conf")
      << "number_of_devices 1\ntest-picture \"Solid black\"\nbr_x 40.0\nbr_y 30.0\n";
  const Image black = Decode(ScanAll(At100("flatbed", "lineart")).at(0));
  EXPECT_EQ(black.width, 157);
  EXPECT_LT(black.rgb[0] + black.rgb[3 * 80], 10);
  // And the next colour scan is at the device's depth again, not one bit.
  Configure("");
  EXPECT_LT(Difference(Decode(ScanAll(At100()).at(0)), Scanimage("color")), 0.01);
}

TEST_F(SaneSessionTest, AFailureOnTheFirstPageIsToldAsErrorStartScanWithTheSaneStatus) {
  for (const char* status : {"SANE_STATUS_JAMMED", "SANE_STATUS_COVER_OPEN", "SANE_STATUS_IO_ERROR",
                             "SANE_STATUS_NO_DOCS", "SANE_STATUS_DEVICE_BUSY"}) {
    SCOPED_TRACE(status);
    Configure(std::string("read-status-code \"") + status + "\"\n");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ScanAll(At100("")).empty());
    const std::string log = testing::internal::GetCapturedStderr();
    // One line that names the status as SANE words it.
    std::string error;
    auto library = LoadSaneLibrary(kSaneLibraryName, error);
    const std::string text = library->strstatus(
        std::string(status) == "SANE_STATUS_JAMMED"       ? SANE_STATUS_JAMMED
        : std::string(status) == "SANE_STATUS_COVER_OPEN" ? SANE_STATUS_COVER_OPEN
        : std::string(status) == "SANE_STATUS_IO_ERROR"   ? SANE_STATUS_IO_ERROR
        : std::string(status) == "SANE_STATUS_NO_DOCS"    ? SANE_STATUS_NO_DOCS
                                                          : SANE_STATUS_DEVICE_BUSY);
    EXPECT_NE(log.find("stopped after 0 page(s): " + text), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  }
  EXPECT_EQ(messages_.Shown(), std::vector<std::string>(5, "Error: Error start scan"));
}

TEST_F(SaneSessionTest, AScannerThatDoesNotOpenFailsTheStart) {
  Configure("");
  ScanChoices choices = At100();
  choices.device = "test:7";
  testing::internal::CaptureStderr();
  EXPECT_TRUE(ScanAll(choices, false).empty());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("test:7 did not open"), std::string::npos);
}

TEST_F(SaneSessionTest, CancelStopsTheFeederAndKeepsThePagesScanned) {
  // Each piece of data is held back, so the scan is still running when it is cancelled.
  Configure("read-delay true\nread-delay-duration 20000\nread-limit true\nread-limit-size 4096\n");
  auto session = Session(At100("feeder"));
  ASSERT_TRUE(session->Acquire());
  ASSERT_TRUE(test::WaitFor(
      [&] {
        std::lock_guard lock(mutex_);
        return !pages_.empty();
      },
      30s));
  session->Cancel();
  ASSERT_TRUE(test::WaitFor([&] { return !session->Busy(); }, 30s));
  std::lock_guard lock(mutex_);
  EXPECT_GE(pages_.size(), 1u);
  EXPECT_LT(pages_.size(), 10u);
  EXPECT_TRUE(messages_.Shown().empty());
}

// A dialog that answers at once, as a user pressing Scan or choosing the first device would.
class AnsweringDialog : public ScanDialog {
 public:
  void AskScan(const ScanOffer& offer, const ScanChoices& preset,
               std::function<void(std::optional<ScanChoices>)> answer,
               std::function<void()>) override {
    offered = offer;
    ScanChoices choices = preset;
    choices.source = "flatbed";
    answer(scan ? std::optional<ScanChoices>(choices) : std::nullopt);
  }
  void ScanEnded() override { ++ended; }
  void ChooseDevice(const std::vector<SaneDeviceInfo>& list, const std::string&,
                    std::function<void(const std::string&)> chosen) override {
    devices = list;
    chosen(list.empty() ? "" : list.front().name);
  }

  bool scan = true;
  ScanOffer offered;
  std::atomic<int> ended{0};
  std::vector<SaneDeviceInfo> devices;
};

TEST_F(SaneSessionTest, TheDialogOffersTheDevicesChoicesAndScansWithTheAnswer) {
  Configure("");
  AnsweringDialog dialog;
  ScannerListing listing;
  auto session = Session(At100(""), &dialog, true, &listing);
  ASSERT_TRUE(session->Acquire());
  ASSERT_TRUE(test::WaitFor([&] { return dialog.ended == 1 && !session->Busy(); }, 30s));
  EXPECT_EQ(dialog.offered.device, "test:0");
  // The list the scan needed is the status page's too.
  EXPECT_EQ(listing.Get().scanners, std::vector<std::string>{"test:0 (Noname frontend-tester)"});
  EXPECT_TRUE(dialog.offered.flatbed);
  EXPECT_TRUE(dialog.offered.feeder);
  EXPECT_EQ(dialog.offered.modes, (std::vector<std::string>{"color", "gray", "lineart"}));
  EXPECT_EQ(dialog.offered.resolutions.front(), 75);
  EXPECT_EQ(dialog.offered.resolutions.back(), 1200);
  EXPECT_EQ(pages_.size(), 1u);                     // the answer's flatbed
  EXPECT_EQ(session->Choices().source, "flatbed");  // remembered for the next scan

  dialog.scan = false;  // closed without scanning: nothing scanned, the next scan may start
  ASSERT_TRUE(session->Acquire());
  ASSERT_TRUE(test::WaitFor([&] { return !session->Busy(); }, 30s));
  EXPECT_EQ(pages_.size(), 1u);

  session->SelectSource();
  ASSERT_TRUE(test::WaitFor([&] { return session->Choices().device == "test:0"; }, 30s));
  ASSERT_EQ(dialog.devices.size(), 1u);
  EXPECT_EQ(dialog.devices[0].vendor, "Noname");
  EXPECT_EQ(dialog.devices[0].model, "frontend-tester");
}

// An unattended station (scan_dialog false) with a desktop: scans start without asking, and the
// tray's scanner choice still lists the devices.
TEST_F(SaneSessionTest, WithoutAskingAScanStartsAtOnceAndTheScannerChoiceStillShows) {
  Configure("");
  AnsweringDialog dialog;
  auto session = Session(At100("flatbed"), &dialog, false);
  ASSERT_TRUE(session->Acquire());
  ASSERT_TRUE(test::WaitFor([&] { return !session->Busy(); }, 30s));
  EXPECT_TRUE(dialog.offered.device.empty());  // never asked
  EXPECT_EQ(dialog.ended, 0);
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(pages_.size(), 1u);
  }
  session->SelectSource();
  ASSERT_TRUE(test::WaitFor([&] { return session->Choices().device == "test:0"; }, 30s));
  EXPECT_EQ(dialog.devices.size(), 1u);
}

}  // namespace
}  // namespace dralmin

namespace dralmin {
namespace {

// A device with a feeder (its only source) of grey 4x2 pages that fails as told: at the start of
// page `failStart` with `startStatus`, or in the middle of page `failRead` with `readStatus`.
class FailingLibrary : public SaneLibrary {
 public:
  int failStart = -1;
  SANE_Status startStatus = SANE_STATUS_GOOD;
  int failRead = -1;
  SANE_Status readStatus = SANE_STATUS_GOOD;
  SANE_Int sourceSize = 4;  // bytes of the source option's value
  std::string sourceSet;    // the source as the device took it

  SANE_Status init() override { return SANE_STATUS_GOOD; }
  void exit() override {}
  SANE_Status get_devices(const SANE_Device*** list, SANE_Bool) override {
    *list = devices_;
    return SANE_STATUS_GOOD;
  }
  SANE_Status open(const char*, SANE_Handle* handle) override {
    *handle = this;
    return SANE_STATUS_GOOD;
  }
  void close(SANE_Handle) override {}
  const SANE_Option_Descriptor* get_option_descriptor(SANE_Handle, SANE_Int n) override {
    source_.size = sourceSize;
    return n == 1 ? &source_ : nullptr;
  }
  SANE_Status control_option(SANE_Handle, SANE_Int n, SANE_Action action, void* value,
                             SANE_Int*) override {
    if (n == 0) *static_cast<SANE_Int*>(value) = 2;  // the count, and the source option
    if (n == 1 && action == SANE_ACTION_SET_VALUE) {
      // As a backend may: the whole value, whatever the text's length.
      const std::string whole(static_cast<const char*>(value), sourceSize);
      sourceSet = whole.c_str();
    }
    return SANE_STATUS_GOOD;
  }
  SANE_Status get_parameters(SANE_Handle, SANE_Parameters* p) override {
    *p = SANE_Parameters{SANE_FRAME_GRAY, SANE_TRUE, 4, 4, 2, 8};
    return SANE_STATUS_GOOD;
  }
  SANE_Status start(SANE_Handle) override {
    ++page_;
    sent_ = 0;
    return page_ == failStart ? startStatus : SANE_STATUS_GOOD;
  }
  SANE_Status read(SANE_Handle, SANE_Byte* data, SANE_Int, SANE_Int* length) override {
    *length = 0;
    if (sent_ == 8) return SANE_STATUS_EOF;
    if (page_ == failRead && sent_ == 4) return readStatus;  // half a page read
    std::fill(data, data + 4, 128);
    sent_ += 4;
    *length = 4;
    return SANE_STATUS_GOOD;
  }
  void cancel(SANE_Handle) override {}
  const char* strstatus(SANE_Status status) override {
    return status == SANE_STATUS_IO_ERROR ? "Error during device I/O" : "Other";
  }

 private:
  SANE_Device device_{"fake:0", "Fake", "Feeder", "sheetfed scanner"};
  const SANE_String_Const sources_[2] = {"ADF", nullptr};
  SANE_Option_Descriptor source_{SANE_NAME_SCAN_SOURCE,
                                 "",
                                 "",
                                 SANE_TYPE_STRING,
                                 SANE_UNIT_NONE,
                                 4,
                                 SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT,
                                 SANE_CONSTRAINT_STRING_LIST,
                                 {sources_}};
  const SANE_Device* devices_[2] = {&device_, nullptr};
  int page_ = 0;
  int sent_ = 0;
};

TEST(SaneSessionFailureTest, AScannerGoneMidPageDropsThatPageOnlyAndTheEarlierOnesStay) {
  auto library = std::make_unique<FailingLibrary>();
  library->failRead = 3;
  library->readStatus = SANE_STATUS_IO_ERROR;
  RecordingMessages messages;
  std::atomic<int> pages{0};
  SaneSession session(std::move(library), ScanChoices{}, nullptr, messages,
                      [&](std::string_view jpeg) {
                        pages += !jpeg.empty();
                        return true;
                      });
  testing::internal::CaptureStderr();
  EXPECT_TRUE(session.Acquire());
  ASSERT_TRUE(test::WaitFor([&] { return !session.Busy(); }, 10s));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pages, 2);
  EXPECT_NE(log.find("stopped after 2 page(s): Error during device I/O"), std::string::npos);
  EXPECT_TRUE(messages.Shown().empty());  // pages were scanned: nothing failed to start
}

TEST(SaneSessionFailureTest, AFirstPageThatDoesNotStartFailsTheStartItself) {
  auto library = std::make_unique<FailingLibrary>();
  library->failStart = 1;
  library->startStatus = SANE_STATUS_NO_DOCS;
  RecordingMessages messages;
  SaneSession session(std::move(library), ScanChoices{}, nullptr, messages,
                      [](std::string_view) { return true; });
  testing::internal::CaptureStderr();
  EXPECT_FALSE(session.Acquire());  // the caller tells the user
  EXPECT_FALSE(session.Busy());
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(messages.Shown().empty());
}

// A text option's value is handed over in a buffer of the option's full size, which the device
// may read whole (the address sanitizer shows a shorter one).
TEST(SaneSessionFailureTest, ATextOptionIsSetFromABufferOfTheOptionsSize) {
  auto library = std::make_unique<FailingLibrary>();
  library->sourceSize = 1024;
  library->failStart = 2;  // one page, then the feeder is empty
  library->startStatus = SANE_STATUS_NO_DOCS;
  const FailingLibrary& device = *library;
  RecordingMessages messages;
  SaneSession session(std::move(library), ScanChoices{}, nullptr, messages,
                      [](std::string_view) { return true; });
  EXPECT_TRUE(session.Acquire());
  ASSERT_TRUE(test::WaitFor([&] { return !session.Busy(); }, 10s));
  EXPECT_EQ(device.sourceSet, "ADF");
}

}  // namespace
}  // namespace dralmin
