#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dralmin {

// How long the port waits. The defaults are what the scales need; tests shorten them.
struct SerialTimings {
  // A read that finds nothing waits until the requested count has arrived or until
  // readBase + readPerByte * count has passed.
  std::chrono::milliseconds readBase{2000};
  std::chrono::milliseconds readPerByte{100};
  // A one-byte write gives up after this long.
  std::chrono::milliseconds writeTimeout{2100};
  // Every write is followed by this pause, which gives the scale time to answer in full.
  std::chrono::milliseconds pauseAfterWrite{100};
};

// One serial line at 9600 baud, 8 data bits, no parity, one stop bit, raw, no flow control,
// opened for this process alone. One object is reopened on one path after another.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Closes any open port, then opens `path` with the line settings; false when the device is
  // absent, busy or refuses the settings (the port is closed then).
  virtual bool OpenPort(const std::string& path) = 0;
  // True only when an open port was closed successfully.
  virtual bool ClosePort() = 0;
  // True when the byte was written; pauses afterwards whatever the outcome.
  virtual bool WriteByte(std::uint8_t byte) = 0;
  // Replaces `received` with what one read of up to `count` bytes returned: at once whatever has
  // arrived, or, when nothing has, what arrives before the count or the time-out is reached.
  // True when the port is open and the read did not fail, however few bytes came.
  virtual bool ReadBytes(std::string& received, std::size_t count) = 0;
  // Why the last operation failed, for developers.
  virtual const std::string& LastError() const = 0;
};

#ifndef _WIN32
// The termios implementation.
class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(SerialTimings timings = {});
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool OpenPort(const std::string& path) override;
  bool ClosePort() override;
  bool WriteByte(std::uint8_t byte) override;
  bool ReadBytes(std::string& received, std::size_t count) override;
  const std::string& LastError() const override { return lastError_; }
  // The open line, for an event loop to wait on; -1 when closed.
  int Descriptor() const { return fd_; }

 private:
  bool Fail(const std::string& what);  // records what and errno; returns false

  SerialTimings timings_;
  int fd_ = -1;
  std::string lastError_;
};
using NativeSerialPort = PosixSerialPort;
#else
// The Win32 communications implementation; paths are of the form "\\.\COM3".
class WinSerialPort final : public SerialPort {
 public:
  explicit WinSerialPort(SerialTimings timings = {});
  ~WinSerialPort() override;
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  bool OpenPort(const std::string& path) override;
  bool ClosePort() override;
  bool WriteByte(std::uint8_t byte) override;
  bool ReadBytes(std::string& received, std::size_t count) override;
  const std::string& LastError() const override { return lastError_; }

 private:
  bool Fail(const std::string& what);  // records what and GetLastError; returns false

  SerialTimings timings_;
  void* handle_ = nullptr;
  std::string lastError_;
};
using NativeSerialPort = WinSerialPort;
#endif

// The ports a scale is looked for on when the settings name none, in the order they are tried.
std::vector<std::string> DefaultSerialPorts();

}  // namespace dralmin
