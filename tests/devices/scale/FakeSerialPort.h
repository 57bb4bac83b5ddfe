#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/SerialPort.h"

namespace dralmin::test {

// Devices behind the fake port, by path, and everything the port was asked to do.
struct FakeLines {
  struct Device {
    bool opens = true;
    bool writeFails = false;
    bool readFails = false;
    std::string enqAnswer = "\x06";
    std::string dc1Answer;
  };
  std::map<std::string, Device> devices;  // a path not listed does not exist
  std::vector<std::string> log;           // "open P", "write 05", "read 10", "close"
  std::string openPath;                   // empty while closed
};

// A serial port whose device answers the byte written last.
class FakeSerialPort final : public SerialPort {
 public:
  explicit FakeSerialPort(FakeLines& lines) : lines_(lines) {}
  ~FakeSerialPort() override { ClosePort(); }

  bool OpenPort(const std::string& path) override {
    ClosePort();
    lines_.log.push_back("open " + path);
    const auto device = lines_.devices.find(path);
    absent_ = device == lines_.devices.end();
    if (absent_ || !device->second.opens) return false;
    lines_.openPath = path;
    return true;
  }
  bool ClosePort() override {
    if (lines_.openPath.empty()) return false;
    lines_.log.push_back("close");
    lines_.openPath.clear();
    return true;
  }
  bool WriteByte(std::uint8_t byte) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "write %02x", byte);
    lines_.log.push_back(hex);
    if (lines_.openPath.empty() || Current().writeFails) return false;
    pending_ = byte == 0x05 ? Current().enqAnswer : byte == 0x11 ? Current().dc1Answer : "";
    return true;
  }
  bool ReadBytes(std::string& received, std::size_t count) override {
    lines_.log.push_back("read " + std::to_string(count));
    received.clear();
    if (lines_.openPath.empty() || Current().readFails) return false;
    received = pending_.substr(0, count);
    pending_.clear();
    return true;
  }
  const std::string& LastError() const override { return error_; }
  bool DeviceAbsent() const override { return absent_; }

 private:
  FakeLines::Device& Current() { return lines_.devices.at(lines_.openPath); }

  FakeLines& lines_;
  std::string pending_;
  std::string error_;
  bool absent_ = false;
};

}  // namespace dralmin::test
