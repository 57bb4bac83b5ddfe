#include "simulators/scale/ScaleSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace dralmin {
namespace {

constexpr char kEnq = 0x05;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kDc1 = 0x11;

[[noreturn]] void Throw(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;  // the other side is gone; nothing to tell
    }
  }
}

}  // namespace

ScaleSimulator::ScaleSimulator(ScaleSettings settings) : settings_(std::move(settings)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) Throw("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    close(master_);
    Throw("cannot unlock the pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    close(master_);
    Throw("ptsname");
  }
  devicePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    close(master_);
    Throw("cannot open " + devicePath_);
  }
  // Raw from the start, so that nothing is echoed back before a reader sets the line up.
  termios raw{};
  if (tcgetattr(slave_, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    close(slave_);
    close(master_);
    Throw("pipe");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  thread_ = std::thread(&ScaleSimulator::Run, this);
}

ScaleSimulator::~ScaleSimulator() {
  WriteAll(wakeWrite_, "x");
  thread_.join();
  close(wakeRead_);
  close(wakeWrite_);
  close(slave_);
  close(master_);
}

void ScaleSimulator::Set(ScaleSettings settings) {
  std::lock_guard lock(mutex_);
  settings_ = std::move(settings);
}

std::string ScaleSimulator::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void ScaleSimulator::ClearReceived() {
  std::lock_guard lock(mutex_);
  received_.clear();
}

std::string ScaleSimulator::WeightAnswer(const ScaleSettings& settings) {
  std::string weight = settings.fault == ScaleSettings::Fault::FReading ? "F" : settings.weight;
  if (settings.fault == ScaleSettings::Fault::FReading) weight.resize(7, ' ');
  if (weight.size() < 7) weight.insert(0, 7 - weight.size(), ' ');
  weight.resize(7);
  std::string unit = settings.unit;
  unit.resize(2, ' ');
  std::string answer = "ST," + weight + unit + "\r\n";
  if (settings.fault == ScaleSettings::Fault::ShortAnswer) answer.resize(8);
  return answer;
}

void ScaleSimulator::Answer(char request) {
  ScaleSettings settings;
  {
    std::lock_guard lock(mutex_);
    received_ += request;
    settings = settings_;
  }
  if (settings.fault == ScaleSettings::Fault::Silent) return;
  if (request == kEnq) {
    WriteAll(master_,
             std::string(1, settings.fault == ScaleSettings::Fault::WrongByte ? kNak : kAck));
  } else if (request == kDc1) {
    WriteAll(master_, WeightAnswer(settings));
  }
}

void ScaleSimulator::Run() {
  for (;;) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) return;  // a line error: nothing more will come
    char bytes[256];
    const ssize_t n = read(master_, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // cannot happen while the slave side is held open
    for (ssize_t i = 0; i < n; ++i) Answer(bytes[i]);
  }
}

}  // namespace dralmin
