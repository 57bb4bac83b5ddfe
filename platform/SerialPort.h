#pragma once

#include <atomic>
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
  // True when the last OpenPort failed because there is no device behind the path: the usual
  // case for most of the names a scale is looked for on.
  virtual bool DeviceAbsent() const { return false; }
};

// How long the port waits at most before it looks at its cancel flag again.
inline constexpr std::chrono::milliseconds kSerialWaitSlice{50};

#ifndef _WIN32
// The termios implementation.
class PosixSerialPort final : public SerialPort {
 public:
  // Once `*cancelled` is true (the agent is stopping), waits end within kSerialWaitSlice and
  // reads and writes fail with "cancelled".
  explicit PosixSerialPort(SerialTimings timings = {},
                           const std::atomic<bool>* cancelled = nullptr);
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool OpenPort(const std::string& path) override;
  bool ClosePort() override;
  bool WriteByte(std::uint8_t byte) override;
  bool ReadBytes(std::string& received, std::size_t count) override;
  const std::string& LastError() const override { return lastError_; }
  bool DeviceAbsent() const override { return absent_; }
  // The open line, for an event loop to wait on; -1 when closed.
  int Descriptor() const { return fd_; }

 private:
  bool Fail(const std::string& what);  // records what and errno; returns false
  bool Cancelled() const { return cancelled_ != nullptr && cancelled_->load(); }
  // poll() on the open line until `deadline`, in slices that look at the cancel flag; 0 at the
  // deadline, -1 with errno ECANCELED when cancelled.
  int Wait(short events, std::chrono::steady_clock::time_point deadline, short& revents);
  void Pause();  // the pause after a write, cut short by a cancel

  SerialTimings timings_;
  const std::atomic<bool>* cancelled_;
  int fd_ = -1;
  bool absent_ = false;
  std::string lastError_;
};
using NativeSerialPort = PosixSerialPort;
#else
// The Win32 communications implementation; paths are of the form "\\.\COM3".
class WinSerialPort final : public SerialPort {
 public:
  // Once `*cancelled` is true (the agent is stopping), waits end within kSerialWaitSlice and
  // reads and writes fail with "cancelled".
  explicit WinSerialPort(SerialTimings timings = {}, const std::atomic<bool>* cancelled = nullptr);
  ~WinSerialPort() override;
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  bool OpenPort(const std::string& path) override;
  bool ClosePort() override;
  bool WriteByte(std::uint8_t byte) override;
  bool ReadBytes(std::string& received, std::size_t count) override;
  const std::string& LastError() const override { return lastError_; }
  bool DeviceAbsent() const override { return absent_; }

 private:
  bool Fail(const std::string& what);  // records what and GetLastError; returns false
  bool Cancelled() const { return cancelled_ != nullptr && cancelled_->load(); }
  void Pause();  // the pause after a write, cut short by a cancel

  SerialTimings timings_;
  const std::atomic<bool>* cancelled_;
  void* handle_ = nullptr;
  bool absent_ = false;
  std::string lastError_;
};
using NativeSerialPort = WinSerialPort;
#endif

// The ports a scale is looked for on when the settings name none, in the order they are tried.
std::vector<std::string> DefaultSerialPorts();

}  // namespace dralmin
