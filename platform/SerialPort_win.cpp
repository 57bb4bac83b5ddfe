#include <windows.h>

#include <algorithm>
#include <thread>

#include "platform/SerialPort.h"
#include "platform/WideText.h"

namespace dralmin {

std::vector<std::string> DefaultSerialPorts() {
  std::vector<std::string> ports;
  for (int n = 0; n < 30; ++n) ports.push_back("\\\\.\\COM" + std::to_string(n));
  return ports;
}

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

WinSerialPort::WinSerialPort(SerialTimings timings, const std::atomic<bool>* cancelled)
    : timings_(timings), cancelled_(cancelled) {}

void WinSerialPort::Pause() {
  const auto until = Clock::now() + timings_.pauseAfterWrite;
  while (!Cancelled()) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kSerialWaitSlice));
  }
}

WinSerialPort::~WinSerialPort() {
  ClosePort();
}

bool WinSerialPort::Fail(const std::string& what) {
  const DWORD error = GetLastError();
  lastError_ = what;
  if (error != 0) lastError_ += ": " + SystemErrorText(error);
  return false;
}

bool WinSerialPort::OpenPort(const std::string& path) {
  ClosePort();
  lastError_.clear();
  absent_ = false;

  // No sharing: the port is this process's alone while open.
  HANDLE port = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    absent_ = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return Fail("cannot open " + path);
  }
  const auto refuse = [&](const std::string& what) {
    Fail(what + " " + path);
    CloseHandle(port);
    return false;
  };

  if (!SetCommMask(port, EV_RXCHAR)) return refuse("cannot set the event mask of");
  if (!SetupComm(port, 1600, 1600)) return refuse("cannot size the queues of");

  // One ReadFile returns at once with what has arrived, or with the first byte that arrives
  // within a slice; ReadBytes waits slice by slice, so that a stop is seen. With the default
  // timings the write allows 2000 ms + 100 ms per byte: 2100 ms for the one byte it is ever given.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kSerialWaitSlice.count());
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timings_.readPerByte.count());
  timeouts.WriteTotalTimeoutConstant =
      static_cast<DWORD>((timings_.writeTimeout - timings_.readPerByte).count());
  if (!SetCommTimeouts(port, &timeouts)) return refuse("cannot set the time-outs of");

  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(port, &line)) return refuse("cannot read the line settings of");
  // fDsrSensitivity, fTXContinueOnXoff, ErrorChar, EofChar and EvtChar stay as the port has them.
  line.BaudRate = CBR_9600;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  line.fBinary = 1;
  line.fParity = 0;
  line.fOutxCtsFlow = 0;
  line.fOutxDsrFlow = 0;
  line.fDtrControl = DTR_CONTROL_DISABLE;
  line.fOutX = 0;
  line.fInX = 0;
  line.fErrorChar = 0;
  line.fNull = 0;
  line.fRtsControl = RTS_CONTROL_DISABLE;
  line.fAbortOnError = 1;
  line.XonLim = 128;
  line.XoffLim = 128;
  line.XonChar = 0x00;
  line.XoffChar = static_cast<char>(0xFF);
  if (!SetCommState(port, &line)) return refuse("line settings refused by");

  handle_ = port;
  return true;
}

bool WinSerialPort::ClosePort() {
  if (handle_ == nullptr) return false;
  HANDLE port = static_cast<HANDLE>(handle_);
  handle_ = nullptr;
  if (!CloseHandle(port)) return Fail("close failed");
  return true;
}

bool WinSerialPort::WriteByte(std::uint8_t byte) {
  bool written = false;
  if (handle_ == nullptr) {
    SetLastError(0);
    Fail("write on a closed port");
  } else {
    DWORD count = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), &byte, 1, &count, nullptr)) {
      Fail("write failed");
    } else if (count != 1) {
      SetLastError(0);
      Fail("write did not complete");
    } else {
      written = true;
    }
  }
  Pause();
  return written;
}

bool WinSerialPort::ReadBytes(std::string& received, std::size_t count) {
  received.clear();
  if (handle_ == nullptr) {
    SetLastError(0);
    return Fail("read on a closed port");
  }
  if (count == 0) return true;

  // What has arrived is the answer; only when nothing has is the count or the time-out awaited.
  const auto deadline =
      Clock::now() + timings_.readBase + timings_.readPerByte * static_cast<int64_t>(count);
  char buffer[256];
  bool waited = false;
  while (received.size() < count) {
    if (Cancelled()) {
      received.clear();
      lastError_ = "read cancelled";
      return false;
    }
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, count - received.size()));
    if (!ReadFile(static_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) {
      received.clear();
      return Fail("read failed");
    }
    received.append(buffer, got);
    if (!waited && got > 0) break;  // took what was there (or came within the first slice)
    waited = true;
    if (Clock::now() >= deadline) break;  // time-out: what has come is the answer
  }
  return true;
}

}  // namespace dralmin
