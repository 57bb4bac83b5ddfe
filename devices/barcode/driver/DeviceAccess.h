#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/barcode/driver/ConfiguredDevice.h"

namespace dralmin {

enum class DeviceKind { Keyboard, Serial };

// One scanner device opened for this process alone.
class ScannerDevice {
 public:
  virtual ~ScannerDevice() = default;

  virtual DeviceKind Kind() const = 0;
  // Readable (for poll) when Read has something to take.
  virtual int Descriptor() const = 0;
  // Appends to `bytes` what can be read now without waiting: input_event records from a
  // keyboard, the line's bytes from a serial port. False when the device is gone or failed, with
  // the reason in `error`.
  virtual bool Read(std::string& bytes, std::string& error) = 0;
  // A keyboard's keys held down now (evdev key codes); empty for a serial port.
  virtual std::vector<uint16_t> HeldKeys() const = 0;
};

// The operating system's side of the scanners: finding, opening and watching device nodes.
class DeviceAccess {
 public:
  virtual ~DeviceAccess() = default;

  // The device nodes `device` names that exist now, each once.
  virtual std::vector<std::string> Find(const ConfiguredDevice& device) = 0;
  // Opens a node: an event device is grabbed, so its keys reach no other program; a serial port
  // is set raw and taken for exclusive use. Null with the reason in `error`.
  virtual std::unique_ptr<ScannerDevice> Open(const std::string& node, std::string& error) = 0;
  // Readable when device nodes may have come, gone or changed permissions; -1 when there is no
  // such notice.
  virtual int ChangeDescriptor() const = 0;
  // Takes the pending notices, so the descriptor is quiet again.
  virtual void TakeChanges() = 0;
};

}  // namespace dralmin
