#include "devices/scanning/SaneOptions.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "devices/scanning/SaneLibrary.h"
#include "platform/Log.h"

namespace dralmin {
namespace {

constexpr std::string_view kComponent = "scanner";

// Resolutions offered when the device gives a range rather than a list.
constexpr int kCommonResolutions[] = {75, 100, 150, 200, 240, 300, 400, 600, 1200, 2400};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Contains(const std::string& text, std::initializer_list<const char*> words) {
  const std::string lower = Lower(text);
  return std::any_of(words.begin(), words.end(),
                     [&](const char* word) { return lower.find(word) != std::string::npos; });
}

// Device values of the scan modes and sources as the settings name them. Backends name them
// freely; these are the words they use.
bool IsMode(const std::string& value, const std::string& mode) {
  if (mode == "color") return Contains(value, {"color", "colour"});
  if (mode == "gray") return Contains(value, {"gray", "grey"});
  return Contains(value, {"lineart", "binary", "halftone", "black"});
}

bool IsFeeder(const std::string& value) {
  return Contains(value, {"adf", "feeder", "automatic document"});
}

}  // namespace

SaneOptions::SaneOptions(SaneLibrary& sane, SANE_Handle handle, std::string name, std::string label)
    : sane_(sane), handle_(handle), name_(std::move(name)), label_(std::move(label)) {
  Read(true);
}

void SaneOptions::Read(bool first) {
  modeOption_ = sourceOption_ = depthOption_ = resolutionOption_ = -1;
  modes_.clear();
  sources_.clear();
  depths_.clear();
  resolutions_.clear();
  rangeLow_ = rangeHigh_ = 0;
  SANE_Int count = 0;
  if (sane_.control_option(handle_, 0, SANE_ACTION_GET_VALUE, &count, nullptr) !=
      SANE_STATUS_GOOD) {
    count = 0;
  }
  for (SANE_Int n = 1; n < count; ++n) {
    const SANE_Option_Descriptor* d = sane_.get_option_descriptor(handle_, n);
    if (d == nullptr || d->name == nullptr || !SANE_OPTION_IS_ACTIVE(d->cap) ||
        !SANE_OPTION_IS_SETTABLE(d->cap)) {
      continue;
    }
    const std::string option = d->name;
    if ((option == SANE_NAME_SCAN_MODE || option == SANE_NAME_SCAN_SOURCE) &&
        d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
      auto& values = option == SANE_NAME_SCAN_MODE ? modes_ : sources_;
      for (const SANE_String_Const* v = d->constraint.string_list; *v != nullptr; ++v) {
        values.emplace_back(*v);
      }
      (option == SANE_NAME_SCAN_MODE ? modeOption_ : sourceOption_) = n;
      (option == SANE_NAME_SCAN_MODE ? modeSize_ : sourceSize_) =
          static_cast<std::size_t>(std::max<SANE_Int>(d->size, 0));
    } else if (option == SANE_NAME_BIT_DEPTH && d->type == SANE_TYPE_INT &&
               d->size == sizeof(SANE_Word) && d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
      depthOption_ = n;
      for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i) {
        depths_.push_back(d->constraint.word_list[i]);
      }
      if (first) {
        sane_.control_option(handle_, n, SANE_ACTION_GET_VALUE, &initialDepth_, nullptr);
      }
    } else if (option == SANE_NAME_SCAN_RESOLUTION &&
               (d->type == SANE_TYPE_INT || d->type == SANE_TYPE_FIXED) && d->size == 4) {
      resolutionOption_ = n;
      resolutionFixed_ = d->type == SANE_TYPE_FIXED;
      const auto dpi = [&](SANE_Word w) {
        return resolutionFixed_ ? static_cast<int>(std::lround(SANE_UNFIX(w))) : w;
      };
      if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i) {
          resolutions_.push_back(dpi(d->constraint.word_list[i]));
        }
      } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
        const int low = std::max(dpi(d->constraint.range->min), 1);
        const int high = std::max(dpi(d->constraint.range->max), low);
        rangeLow_ = low;
        rangeHigh_ = high;
        for (int r : kCommonResolutions) {
          if (r >= low && r <= high) resolutions_.push_back(r);
        }
        if (resolutions_.empty()) resolutions_ = {low, high};
      }
      std::sort(resolutions_.begin(), resolutions_.end());
      resolutions_.erase(std::unique(resolutions_.begin(), resolutions_.end()), resolutions_.end());
    }
  }
}

ScanOffer SaneOptions::Describe() const {
  ScanOffer offer;
  offer.device = name_;
  offer.label = label_;
  for (const std::string& source : sources_) {
    (IsFeeder(source) ? offer.feeder : offer.flatbed) = true;
  }
  if (sources_.empty()) offer.flatbed = true;
  for (const char* mode : {"color", "gray", "lineart"}) {
    const bool offered =
        std::any_of(modes_.begin(), modes_.end(),
                    [&](const std::string& value) { return IsMode(value, mode); }) ||
        // Black and white as grey at one bit a sample.
        (std::string_view(mode) == "lineart" &&
         std::find(depths_.begin(), depths_.end(), 1) != depths_.end());
    if (offered) offer.modes.emplace_back(mode);
  }
  offer.resolutions = resolutions_;
  return offer;
}

void SaneOptions::Apply(const ScanChoices& choices) {
  // A value can change what other options offer; the device then wants them read again.
  const auto reloaded = [&](SANE_Int info) {
    if ((info & SANE_INFO_RELOAD_OPTIONS) != 0) Read(false);
  };
  // By value: a reload replaces the lists the values come from. The device may read the whole
  // option's size from the buffer, however short the text.
  const auto setText = [&](int option, std::size_t size, std::string value) {
    std::vector<char> text(value.begin(), value.end());
    text.resize(std::max(text.size() + 1, size), '\0');
    SANE_Int info = 0;
    const SANE_Status status =
        sane_.control_option(handle_, option, SANE_ACTION_SET_VALUE, text.data(), &info);
    reloaded(info);
    if (status != SANE_STATUS_GOOD) {
      LogWarning(kComponent,
                 name_ + " refused the value " + value + ": " + sane_.strstatus(status));
    }
  };
  const auto setWord = [&](int option, SANE_Word value, const char* what) {
    SANE_Int info = 0;
    const SANE_Status status =
        sane_.control_option(handle_, option, SANE_ACTION_SET_VALUE, &value, &info);
    reloaded(info);
    if (status != SANE_STATUS_GOOD) {
      LogWarning(kComponent, name_ + " refused the " + what + ": " + sane_.strstatus(status));
    }
  };

  // The source first: it can change the modes and resolutions a device offers.
  feeder_ = false;
  if (sourceOption_ >= 0) {
    const auto feeder = std::find_if(sources_.begin(), sources_.end(), IsFeeder);
    const bool wantFeeder =
        choices.source.empty() ? feeder != sources_.end() : choices.source == "feeder";
    const auto flatbed = std::find_if(sources_.begin(), sources_.end(),
                                      [](const std::string& s) { return !IsFeeder(s); });
    const auto chosen = wantFeeder ? feeder : flatbed;
    if (chosen != sources_.end()) {
      const std::string source = *chosen;
      setText(sourceOption_, sourceSize_, source);
      feeder_ = IsFeeder(source);
    }
  }

  bool oneBit = false;
  if (modeOption_ >= 0) {
    auto mode = std::find_if(modes_.begin(), modes_.end(),
                             [&](const std::string& v) { return IsMode(v, choices.mode); });
    if (mode == modes_.end() && choices.mode == "lineart") {
      mode = std::find_if(modes_.begin(), modes_.end(),
                          [](const std::string& v) { return IsMode(v, "gray"); });
      oneBit = true;
    }
    if (mode != modes_.end()) setText(modeOption_, modeSize_, *mode);
  }
  if (depthOption_ >= 0) {
    // A depth set for black and white would otherwise stay for the next colour scan.
    setWord(depthOption_, oneBit ? 1 : initialDepth_, "depth");
  }

  if (resolutionOption_ >= 0 && !resolutions_.empty()) {
    const int wanted = choices.resolution;
    // The device rounds a value within its range to its own steps.
    const int nearest =
        rangeLow_ > 0
            ? std::clamp(wanted, rangeLow_, rangeHigh_)
            : *std::min_element(resolutions_.begin(), resolutions_.end(), [&](int a, int b) {
                return std::abs(a - wanted) < std::abs(b - wanted);
              });
    setWord(resolutionOption_, resolutionFixed_ ? SANE_FIX(static_cast<double>(nearest)) : nearest,
            "resolution");
  }
}

}  // namespace dralmin
