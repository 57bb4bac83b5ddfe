#pragma once

#include <sane/sane.h>

#include <string>
#include <vector>

namespace dralmin {

class SaneLibrary;

// How a scan is made. Empty device: the first one found.
struct ScanChoices {
  std::string device;
  std::string source;          // "flatbed" or "feeder"; empty: the feeder when the device has one
  std::string mode = "color";  // "color", "gray" or "lineart"
  int resolution = 200;        // dots per inch; the device's nearest is used
};

// What the open device offers, for the scan dialog.
struct ScanOffer {
  std::string device;
  std::string label;  // vendor and model
  bool flatbed = false;
  bool feeder = false;
  std::vector<std::string> modes;  // of "color", "gray", "lineart"
  std::vector<int> resolutions;    // ascending
};

// The options of an open SANE device that a scan sets: source, mode (and depth, for black and
// white on devices without such a mode) and resolution. Backends name their values freely; these
// are matched by the words they use. On the session's worker thread only.
class SaneOptions {
 public:
  SaneOptions(SaneLibrary& sane, SANE_Handle handle, std::string name, std::string label);

  // What the device offers, for the scan dialog.
  ScanOffer Describe() const;
  // Sets the source, mode and resolution nearest to the choices; a value the device refuses is
  // logged and left at the device's own.
  void Apply(const ScanChoices& choices);

  // Whether the source Apply chose feeds pages until it is empty.
  bool Feeder() const { return feeder_; }
  const std::string& Name() const { return name_; }

 private:
  // Reads the options; `first` after opening, else after the device asked for a reload.
  void Read(bool first);

  SaneLibrary& sane_;
  SANE_Handle handle_;
  std::string name_;
  std::string label_;
  int modeOption_ = -1;
  std::size_t modeSize_ = 0;  // bytes of a value, as the device reads it
  std::vector<std::string> modes_;
  int sourceOption_ = -1;
  std::size_t sourceSize_ = 0;
  std::vector<std::string> sources_;
  int depthOption_ = -1;
  std::vector<int> depths_;
  SANE_Word initialDepth_ = 0;
  int resolutionOption_ = -1;
  bool resolutionFixed_ = false;
  std::vector<int> resolutions_;  // offered in the dialog
  int rangeLow_ = 0;              // a range takes any resolution within it; 0: a list
  int rangeHigh_ = 0;
  bool feeder_ = false;
};

}  // namespace dralmin
