#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/SerialPort.h"

namespace dralmin {
namespace {

using Clock = std::chrono::steady_clock;

int PollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Raw 9600 8N1 with every kind of flow control off.
bool ApplyLineSettings(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // Reads never block in the driver; waiting is done with poll() so that the time-outs hold.
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (cfsetispeed(&settings, B9600) != 0 || cfsetospeed(&settings, B9600) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;

  // tcsetattr succeeds when any one change was taken, so check the ones that matter.
  termios applied{};
  if (tcgetattr(fd, &applied) != 0) return false;
  return (applied.c_cflag & CSIZE) == CS8 && (applied.c_cflag & (PARENB | CSTOPB)) == 0 &&
         cfgetospeed(&applied) == B9600;
}

}  // namespace

std::vector<std::string> DefaultSerialPorts() {
  std::vector<std::string> ports;
  for (const char* family : {"/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyS"}) {
    for (int n = 0; n < 10; ++n) ports.push_back(family + std::to_string(n));
  }
  return ports;
}

PosixSerialPort::PosixSerialPort(SerialTimings timings, const std::atomic<bool>* cancelled)
    : timings_(timings), cancelled_(cancelled) {}

PosixSerialPort::~PosixSerialPort() {
  ClosePort();
}

bool PosixSerialPort::Fail(const std::string& what) {
  const int error = errno;
  lastError_ = what;
  if (error != 0) {
    lastError_ += ": ";
    lastError_ += std::strerror(error);
  }
  return false;
}

bool PosixSerialPort::OpenPort(const std::string& path) {
  ClosePort();
  lastError_.clear();
  absent_ = false;

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A serial node without its hardware (ttyS4 and up on most machines) fails with EIO.
    absent_ = errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == EIO;
    return Fail("cannot open " + path);
  }

  const auto refuse = [&](const std::string& what) {
    Fail(what + " " + path);
    const int saved = errno;
    ioctl(fd, TIOCNXCL);
    close(fd);
    errno = saved;
    return false;
  };
  // TIOCEXCL keeps other programs out (root excepted); the lock also tells two agents apart.
  if (ioctl(fd, TIOCEXCL) != 0) return refuse("cannot take exclusive use of");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse("another program uses");
  if (!ApplyLineSettings(fd)) return refuse("line settings refused by");

  // DTR and RTS off; pseudo-terminals and some adapters have no modem lines, which is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
  // Bytes left over from an earlier user would be taken for the scale's answer.
  tcflush(fd, TCIFLUSH);

  fd_ = fd;
  return true;
}

int PosixSerialPort::Wait(short events, Clock::time_point deadline, short& revents) {
  for (;;) {
    if (Cancelled()) {
      errno = ECANCELED;
      return -1;
    }
    const int left = PollTimeout(deadline);
    pollfd ready{fd_, events, 0};
    const int polled = poll(&ready, 1, std::min(left, static_cast<int>(kSerialWaitSlice.count())));
    if (polled < 0 && errno == EINTR) continue;
    if (polled != 0 || left <= kSerialWaitSlice.count()) {
      revents = ready.revents;
      return polled;
    }
  }
}

void PosixSerialPort::Pause() {
  const auto until = Clock::now() + timings_.pauseAfterWrite;
  while (!Cancelled()) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kSerialWaitSlice));
  }
}

bool PosixSerialPort::ClosePort() {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  // The exclusive flag outlives this descriptor while anyone else holds the line open.
  ioctl(fd, TIOCNXCL);
  if (close(fd) != 0) return Fail("close failed");
  return true;
}

bool PosixSerialPort::WriteByte(std::uint8_t byte) {
  bool written = false;
  if (fd_ < 0) {
    errno = 0;
    Fail("write on a closed port");
  } else {
    const auto deadline = Clock::now() + timings_.writeTimeout;
    for (;;) {
      const ssize_t n = write(fd_, &byte, 1);
      if (n == 1) {
        written = true;
        break;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        Fail("write failed");
        break;
      }
      short revents = 0;
      const int polled = Wait(POLLOUT, deadline, revents);
      if (polled < 0 && errno == ECANCELED) {
        lastError_ = "write cancelled";
        return false;
      }
      if (polled <= 0 || (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        if (polled == 0) errno = ETIMEDOUT;
        Fail("write did not complete");
        break;
      }
    }
  }
  Pause();
  return written;
}

bool PosixSerialPort::ReadBytes(std::string& received, std::size_t count) {
  received.clear();
  if (fd_ < 0) {
    errno = 0;
    return Fail("read on a closed port");
  }
  if (count == 0) return true;

  char buffer[256];
  // Takes what the driver holds now; false on a line error or hang-up.
  const auto take = [&]() {
    while (received.size() < count) {
      const size_t want = std::min(sizeof buffer, count - received.size());
      const ssize_t n = read(fd_, buffer, want);
      if (n > 0) {
        received.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || errno == EAGAIN) return true;
      return Fail("read failed");
    }
    return true;
  };

  if (!take()) return false;
  if (!received.empty()) return true;

  const auto deadline =
      Clock::now() + timings_.readBase + timings_.readPerByte * static_cast<int64_t>(count);
  while (received.size() < count) {
    short revents = 0;
    const int polled = Wait(POLLIN, deadline, revents);
    if (polled < 0 && errno == ECANCELED) {
      received.clear();
      lastError_ = "read cancelled";
      return false;
    }
    if (polled < 0) return Fail("poll failed");
    if (polled == 0) break;  // time-out: what has come is the answer
    const size_t before = received.size();
    if (!take()) return false;
    if (received.size() == before && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      errno = EIO;
      return Fail("the line was hung up");
    }
  }
  return true;
}

}  // namespace dralmin
