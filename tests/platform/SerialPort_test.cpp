#include "platform/SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace dralmin {
namespace {

// A pseudo-terminal pair; the master reads back the line settings of the other end.
class PseudoTerminal {
 public:
  PseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_;
  std::string path_;
};

TEST(PosixSerialPortTest, OpeningMakesTheLineRaw9600EightNoParityOneStopBitWithoutFlowControl) {
  PseudoTerminal terminal;
  ASSERT_FALSE(terminal.path().empty());
  // What another program may have left on the line: 1200 baud, 7 data bits, odd parity, two stop
  // bits, hardware and software flow control, line editing and echo. (Some kernels keep the
  // character size and parity of a pseudo-terminal fixed.)
  const int other = open(terminal.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  termios preset{};
  ASSERT_EQ(tcgetattr(other, &preset), 0);
  preset.c_cflag = (preset.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
  preset.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
  preset.c_lflag |= ICANON | ECHO | ISIG;
  preset.c_oflag |= OPOST;
  cfsetispeed(&preset, B1200);
  cfsetospeed(&preset, B1200);
  ASSERT_EQ(tcsetattr(other, TCSANOW, &preset), 0);
  close(other);

  PosixSerialPort port;
  ASSERT_TRUE(port.OpenPort(terminal.path())) << port.LastError();
  termios line{};
  ASSERT_EQ(tcgetattr(terminal.master(), &line), 0);
  EXPECT_EQ(cfgetispeed(&line), B9600);
  EXPECT_EQ(cfgetospeed(&line), B9600);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(line.c_cflag & CREAD, 0u);
  EXPECT_NE(line.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
}

}  // namespace
}  // namespace dralmin
