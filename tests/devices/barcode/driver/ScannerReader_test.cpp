#include "devices/barcode/driver/ScannerReader.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "tests/devices/barcode/driver/EventStream.h"

namespace dralmin {
namespace {

using namespace std::chrono_literals;
using test::EventStream;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A device whose bytes come through a pipe, as they come from a device node: a read takes what
// is there, however the writer cut it.
class PipeDevice final : public ScannerDevice {
 public:
  PipeDevice(int fd, DeviceKind kind, const std::vector<uint16_t>& held)
      : fd_(fd), kind_(kind), held_(held) {}
  ~PipeDevice() override { close(fd_); }
  DeviceKind Kind() const override { return kind_; }
  int Descriptor() const override { return fd_; }
  bool Read(std::string& bytes, std::string& error) override {
    char buffer[100];  // not a multiple of a record, so records arrive cut
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
      } else if (got < 0 && errno == EAGAIN) {
        return true;
      } else {
        error = "unplugged";
        return false;
      }
    }
  }
  std::vector<uint16_t> HeldKeys() const override { return held_; }

 private:
  int fd_;
  DeviceKind kind_;
  const std::vector<uint16_t>& held_;
};

class FakeDevices final : public DeviceAccess {
 public:
  FakeDevices() { EXPECT_EQ(pipe2(changes_, O_NONBLOCK | O_CLOEXEC), 0); }
  ~FakeDevices() override {
    for (const auto& [node, fd] : writers_) close(fd);
    close(changes_[0]);
    close(changes_[1]);
  }

  std::vector<std::string> Find(const ConfiguredDevice& device) override {
    if (present_.count(device.path) == 0) return {};
    return {device.path};
  }
  std::unique_ptr<ScannerDevice> Open(const std::string& node, std::string& error) override {
    ++opens_;
    if (refusals_ > 0) {
      --refusals_;
      error = "another program holds it";
      return nullptr;
    }
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
    if (const auto old = writers_.find(node); old != writers_.end()) close(old->second);
    writers_[node] = ends[1];
    return std::make_unique<PipeDevice>(ends[0], present_.at(node), held_);
  }
  int ChangeDescriptor() const override { return changes_[0]; }
  void TakeChanges() override {
    char buffer[16];
    while (read(changes_[0], buffer, sizeof buffer) > 0) {
    }
  }

  void Plug(const std::string& node, DeviceKind kind) {
    present_[node] = kind;
    EXPECT_EQ(write(changes_[1], "+", 1), 1);
  }
  void Unplug(const std::string& node) {
    present_.erase(node);
    close(writers_.at(node));
    writers_.erase(node);
    EXPECT_EQ(write(changes_[1], "-", 1), 1);
  }
  bool Send(const std::string& node, const std::string& bytes) {
    return write(writers_.at(node), bytes.data(), bytes.size()) ==
           static_cast<ssize_t>(bytes.size());
  }

  int refusals_ = 0;
  int opens_ = 0;
  std::vector<uint16_t> held_;

 private:
  int changes_[2];
  std::map<std::string, DeviceKind> present_;
  std::map<std::string, int> writers_;
};

constexpr const char* kKeyboard = "/dev/input/by-id/usb-scanner-event-kbd";
constexpr const char* kSerial = "/dev/ttyACM0";

class ScannerReaderTest : public ::testing::Test {
 protected:
  // A reader of the given devices, in order, on a clock that moves only when the test says.
  void Start(std::vector<std::string> nodes, std::string_view layout = "us") {
    std::string error;
    ScannerReader::Options options;
    options.layout = KeyboardLayout::Compile(layout, error);
    ASSERT_NE(options.layout, nullptr) << error;
    std::vector<ConfiguredDevice> configured;
    for (const std::string& node : nodes) configured.push_back(*ParseConfiguredDevice(node, error));
    reader_ = std::make_unique<ScannerReader>(
        devices_, std::move(configured), options,
        [this](const std::string& code, int id) { scans_.emplace_back(id, code); },
        [this] { return now_; });
  }
  // Handles whatever the devices sent (a pipe holds it all by the time write returns).
  void Pump() { reader_->RunOnce(0ms); }
  std::vector<std::string> Codes() const {
    std::vector<std::string> codes;
    for (const auto& [id, code] : scans_) codes.push_back(code);
    return codes;
  }

  FakeDevices devices_;
  ScannerReader::Clock::time_point now_{};
  std::unique_ptr<ScannerReader> reader_;
  std::vector<std::pair<int, std::string>> scans_;
};

TEST_F(ScannerReaderTest, ShiftCapsLockAndTheKeypadGiveTheCharactersTheScannerMeant) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream()
                                           .Shifted(KEY_A)
                                           .Tap(KEY_B)
                                           .Shifted(KEY_1)
                                           .Tap(KEY_CAPSLOCK)
                                           .Tap(KEY_C)
                                           .Digits("4")
                                           .Tap(KEY_CAPSLOCK)
                                           .Tap(KEY_D)
                                           .Tap(KEY_KP4)
                                           .Tap(KEY_KPMINUS)
                                           .Tap(KEY_ENTER)
                                           .bytes()));
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("Ab!C4d4-"));
}

TEST_F(ScannerReaderTest, AScannerSetToAnotherLayoutIsReadInThatLayout) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard}, "de");
  // German keys: Z and Y swapped, Shift+7 is the slash; a keypad Enter ends the code too.
  ASSERT_TRUE(devices_.Send(
      kKeyboard,
      EventStream().Tap(KEY_Z).Tap(KEY_Y).Shifted(KEY_7).Digits("4601").Tap(KEY_KPENTER).bytes()));
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("yz/4601"));
}

TEST_F(ScannerReaderTest, TypedCharactersAreWrittenInTheRepliesCharset) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard}, "ru");
  // "кириллица" on a Russian keyboard.
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream()
                                           .Tap(KEY_R)
                                           .Tap(KEY_B)
                                           .Tap(KEY_H)
                                           .Tap(KEY_B)
                                           .Tap(KEY_K)
                                           .Tap(KEY_K)
                                           .Tap(KEY_B)
                                           .Tap(KEY_W)
                                           .Tap(KEY_F)
                                           .Digits("7")
                                           .Tap(KEY_ENTER)
                                           .bytes()));
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("\xEA\xE8\xF0\xE8\xEB\xEB\xE8\xF6\xE0"
                                   "7"));
}

TEST_F(ScannerReaderTest, ACharacterTheRepliesCharsetLacksIsSentAsAQuestionMarkWithALine) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard}, "de");
  ::testing::internal::CaptureStderr();
  // German sharp s and a umlaut have no place in the Cyrillic code page.
  ASSERT_TRUE(devices_.Send(
      kKeyboard,
      EventStream().Tap(KEY_MINUS).Tap(KEY_A).Tap(KEY_APOSTROPHE).Tap(KEY_ENTER).bytes()));
  Pump();
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(Codes(), ElementsAre("?a?"));
  EXPECT_THAT(said, ::testing::HasSubstr(": 2 typed character(s) of a code, the first U+00DF, "
                                         "cannot be written in windows-1251; sent as ?"));
}

TEST_F(ScannerReaderTest, ACodeWithoutAnEndKeyEndsAfterTheIdleGap) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().Digits("46").bytes()));
  Pump();
  now_ += 30ms;
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().Digits("01").bytes()));
  Pump();
  now_ += 49ms;  // the gap counts from the last key
  Pump();
  EXPECT_THAT(Codes(), IsEmpty());
  EXPECT_EQ(reader_->NextWake(), now_ + 1ms);
  now_ += 1ms;
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("4601"));
}

TEST_F(ScannerReaderTest, TheIdleGapIsJudgedByWhenTheKeysWereTypedNotWhenTheyWereRead) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  // A reader held up for 100 ms in the middle of a code (a busy machine, a page fault) reads the
  // rest late: it is still one code.
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().At(0ms).Digits("46").bytes()));
  Pump();
  now_ += 100ms;
  ASSERT_TRUE(devices_.Send(kKeyboard,
                            EventStream().At(40ms).Digits("01").At(48ms).Tap(KEY_ENTER).bytes()));
  Pump();
  // Two codes without an end key, typed 200 ms apart, read at once: two codes.
  ASSERT_TRUE(devices_.Send(kKeyboard,
                            EventStream().At(1000ms).Digits("12").At(1200ms).Digits("34").bytes()));
  Pump();
  now_ += 50ms;
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("4601", "12", "34"));
}

TEST_F(ScannerReaderTest, LostEventsDiscardTheBrokenCodeAndTheKeyStateIsAskedAfresh) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  // Shift is down when the kernel's buffer overflows; its release is among the lost events and
  // the device reports no key held afterwards.
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream()
                                           .Digits("46")
                                           .Key(KEY_LEFTSHIFT, 1)
                                           .Event(EV_SYN, SYN_DROPPED, 0)
                                           .Key(KEY_3, 1)  // partial: ignored
                                           .Report()
                                           .Digits("01")
                                           .Tap(KEY_ENTER)
                                           .Tap(KEY_A)
                                           .Tap(KEY_ENTER)
                                           .bytes()));
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("a"));
}

TEST_F(ScannerReaderTest, AfterAMalformedEventStreamTheNextCodeIsReadRight) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  EventStream garbage;
  for (uint32_t i = 0; i < 2000; ++i) {
    const uint32_t mix = i * 2654435761u;
    garbage.Event(static_cast<uint16_t>(mix % 5), static_cast<uint16_t>(mix >> 16),
                  static_cast<int32_t>(mix % 7) - 3);
  }
  garbage.Event(EV_KEY, 0xFFFF, 1).Event(0xFFFF, 0xFFFF, -1).Event(EV_KEY, KEY_MAX, 1);
  // Whatever the garbage left held is let go when the kernel says events were lost.
  garbage.Event(EV_SYN, SYN_DROPPED, 0).Report().Tap(KEY_ENTER);
  ASSERT_TRUE(devices_.Send(kKeyboard, garbage.Digits("12").Tap(KEY_ENTER).bytes()));
  Pump();
  now_ += 1s;
  Pump();
  ASSERT_FALSE(Codes().empty());
  EXPECT_EQ(Codes().back(), "12");
}

TEST_F(ScannerReaderTest, SerialCodesAndKeyboardCodesComeTaggedWithTheirDevice) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  devices_.Plug(kSerial, DeviceKind::Serial);
  Start({kKeyboard, kSerial});
  ASSERT_TRUE(devices_.Send(kSerial,
                            "\xC9"
                            "01\r\n"));
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().Digits("12").Tap(KEY_ENTER).bytes()));
  Pump();
  EXPECT_THAT(scans_, ::testing::UnorderedElementsAre(std::pair(2, std::string("\xC9"
                                                                               "01")),
                                                      std::pair(1, std::string("12"))));
}

TEST_F(ScannerReaderTest, ADeviceHeldByAnotherProgramIsTriedAgainUntilItCanBeOpened) {
  devices_.Plug(kSerial, DeviceKind::Serial);
  devices_.refusals_ = 2;
  Start({kSerial});
  EXPECT_EQ(reader_->OpenCount(), 0u);
  now_ += 1999ms;
  Pump();
  EXPECT_EQ(devices_.opens_, 1);
  now_ += 1ms;
  Pump();
  now_ += 2s;
  Pump();
  EXPECT_EQ(devices_.opens_, 3);
  ASSERT_EQ(reader_->OpenCount(), 1u);
  EXPECT_EQ(reader_->NextWake(), std::nullopt);  // nothing more to wait for
}

TEST_F(ScannerReaderTest, AnUnpluggedDeviceIsDroppedAndReadAgainWhenItComesBack) {
  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Start({kKeyboard});
  // Unplugged in the middle of a code: that part is not joined to the next code.
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().Digits("99").bytes()));
  devices_.Unplug(kKeyboard);
  Pump();
  EXPECT_EQ(reader_->OpenCount(), 0u);

  devices_.Plug(kKeyboard, DeviceKind::Keyboard);
  Pump();
  EXPECT_EQ(reader_->OpenCount(), 0u) << "udev has had no time to set the permissions yet";
  now_ += 200ms;
  Pump();
  ASSERT_EQ(reader_->OpenCount(), 1u);
  ASSERT_TRUE(devices_.Send(kKeyboard, EventStream().Digits("12").Tap(KEY_ENTER).bytes()));
  Pump();
  EXPECT_THAT(Codes(), ElementsAre("12"));
}

}  // namespace
}  // namespace dralmin
