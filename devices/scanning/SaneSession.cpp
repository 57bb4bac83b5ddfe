#include "devices/scanning/SaneSession.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <future>
#include <utility>

#include "devices/scanning/SaneLibrary.h"
#include "devices/scanning/SanePage.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

constexpr std::string_view kComponent = "scanner";

// Resolutions offered when the device gives a range rather than a list.
constexpr int kCommonResolutions[] = {75, 100, 150, 200, 240, 300, 400, 600, 1200, 2400};

// Room for a few hundred lines at a time: enough that the reads, not the calls, set the pace.
constexpr std::size_t kReadBuffer = 256 * 1024;

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

// The session's hold on itself for the dialog's answers, which may come after it is gone.
struct SaneSession::Life {
  explicit Life(SaneSession* session) : self(session) {}
  std::mutex mutex;
  SaneSession* self;
};

// The open device's options that the session sets.
struct SaneSession::Device {
  std::string name;
  std::string label;
  int modeOption = -1;
  std::vector<std::string> modes;
  int sourceOption = -1;
  std::vector<std::string> sources;
  int depthOption = -1;
  std::vector<int> depths;
  SANE_Word initialDepth = 0;
  int resolutionOption = -1;
  bool resolutionFixed = false;
  std::vector<int> resolutions;  // offered in the dialog
  int rangeLow = 0;               // a range takes any resolution within it; 0: a list
  int rangeHigh = 0;
  bool feeder = false;  // the chosen source feeds pages until it is empty
};

SaneSession::SaneSession(std::unique_ptr<SaneLibrary> library, ScanChoices choices,
                         ScanDialog* dialog, MessageBox& messages, PageSink onPage)
    : life_(std::make_shared<Life>(this)),
      sane_(std::move(library)),
      dialog_(dialog),
      messages_(messages),
      onPage_(std::move(onPage)),
      choices_(std::move(choices)) {
  worker_ = std::thread([this] { Run(); });
}

SaneSession::~SaneSession() {
  {
    std::lock_guard lock(life_->mutex);
    life_->self = nullptr;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Cancel();
  wake_.notify_all();
  worker_.join();
}

void SaneSession::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
}

void SaneSession::PostIfAlive(const std::weak_ptr<Life>& life,
                              std::function<void(SaneSession&)> job) {
  const std::shared_ptr<Life> held = life.lock();
  if (!held) return;
  std::lock_guard lock(held->mutex);
  if (held->self == nullptr) return;
  SaneSession& self = *held->self;
  self.Post([&self, job = std::move(job)] { job(self); });
}

void SaneSession::Run() {
  const SANE_Status status = sane_->init();
  initialised_ = status == SANE_STATUS_GOOD;
  if (!initialised_) {
    LogError(kComponent, std::string("SANE did not start: ") + sane_->strstatus(status));
  }
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) break;  // pending jobs belong to a user interface that is going away
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
  CloseDevice();
  if (initialised_) sane_->exit();
}

ScanChoices SaneSession::Choices() const {
  std::lock_guard lock(mutex_);
  return choices_;
}

void SaneSession::SetDevice(const std::string& name) {
  std::lock_guard lock(mutex_);
  choices_.device = name;
}

void SaneSession::RefreshDevices() {
  if (!initialised_) return;
  const SANE_Device** list = nullptr;
  const SANE_Status status = sane_->get_devices(&list, SANE_FALSE);
  std::vector<SaneDeviceInfo> found;
  if (status != SANE_STATUS_GOOD) {
    LogWarning(kComponent, std::string("listing the scanners failed: ") + sane_->strstatus(status));
  } else {
    for (; list != nullptr && *list != nullptr; ++list) {
      const SANE_Device& d = **list;
      found.push_back({d.name ? d.name : "", d.vendor ? d.vendor : "", d.model ? d.model : ""});
    }
  }
  std::lock_guard lock(mutex_);
  devices_ = std::move(found);
  devicesFetched_ = true;
}

bool SaneSession::OpenDevice(const ScanChoices& choices) {
  if (!initialised_) {
    LogError(kComponent, "no scan: SANE did not start");
    return false;
  }
  std::string name = choices.device;
  std::string label;
  {
    std::unique_lock lock(mutex_);
    if (!devicesFetched_ || (name.empty() && devices_.empty())) {
      lock.unlock();
      RefreshDevices();
      lock.lock();
    }
    if (name.empty() && !devices_.empty()) name = devices_.front().name;
    for (const SaneDeviceInfo& d : devices_) {
      if (d.name == name) label = d.vendor + " " + d.model;
    }
  }
  if (name.empty()) {
    LogError(kComponent, "no scan: SANE finds no scanner");
    return false;
  }
  SANE_Handle handle = nullptr;
  const SANE_Status status = sane_->open(name.c_str(), &handle);
  if (status != SANE_STATUS_GOOD) {
    LogError(kComponent, "no scan: " + name + " did not open: " + sane_->strstatus(status));
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    handle_ = handle;
  }
  device_ = std::make_unique<Device>();
  device_->name = name;
  device_->label = label.empty() ? name : label;

  ReadOptions(true);
  return true;
}

void SaneSession::ReadOptions(bool first) {
  SANE_Handle handle = handle_;
  Device& device = *device_;
  Device fresh;
  fresh.name = std::move(device.name);
  fresh.label = std::move(device.label);
  fresh.initialDepth = device.initialDepth;
  fresh.feeder = device.feeder;
  device = std::move(fresh);
  SANE_Int count = 0;
  if (sane_->control_option(handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr) !=
      SANE_STATUS_GOOD) {
    count = 0;
  }
  for (SANE_Int n = 1; n < count; ++n) {
    const SANE_Option_Descriptor* d = sane_->get_option_descriptor(handle, n);
    if (d == nullptr || d->name == nullptr || !SANE_OPTION_IS_ACTIVE(d->cap) ||
        !SANE_OPTION_IS_SETTABLE(d->cap)) {
      continue;
    }
    const std::string option = d->name;
    if ((option == SANE_NAME_SCAN_MODE || option == SANE_NAME_SCAN_SOURCE) &&
        d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
      auto& values = option == SANE_NAME_SCAN_MODE ? device_->modes : device_->sources;
      for (const SANE_String_Const* v = d->constraint.string_list; *v != nullptr; ++v) {
        values.emplace_back(*v);
      }
      (option == SANE_NAME_SCAN_MODE ? device_->modeOption : device_->sourceOption) = n;
    } else if (option == SANE_NAME_BIT_DEPTH && d->type == SANE_TYPE_INT &&
               d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
      device_->depthOption = n;
      for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i) {
        device_->depths.push_back(d->constraint.word_list[i]);
      }
      if (first) {
        sane_->control_option(handle, n, SANE_ACTION_GET_VALUE, &device_->initialDepth, nullptr);
      }
    } else if (option == SANE_NAME_SCAN_RESOLUTION &&
               (d->type == SANE_TYPE_INT || d->type == SANE_TYPE_FIXED) && d->size == 4) {
      device_->resolutionOption = n;
      device_->resolutionFixed = d->type == SANE_TYPE_FIXED;
      const auto dpi = [&](SANE_Word w) {
        return device_->resolutionFixed ? static_cast<int>(std::lround(SANE_UNFIX(w))) : w;
      };
      if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        for (SANE_Int i = 1; i <= d->constraint.word_list[0]; ++i) {
          device_->resolutions.push_back(dpi(d->constraint.word_list[i]));
        }
      } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
        const int low = std::max(dpi(d->constraint.range->min), 1);
        const int high = std::max(dpi(d->constraint.range->max), low);
        device_->rangeLow = low;
        device_->rangeHigh = high;
        for (int r : kCommonResolutions) {
          if (r >= low && r <= high) device_->resolutions.push_back(r);
        }
        if (device_->resolutions.empty()) device_->resolutions = {low, high};
      }
      std::sort(device_->resolutions.begin(), device_->resolutions.end());
      device_->resolutions.erase(
          std::unique(device_->resolutions.begin(), device_->resolutions.end()),
          device_->resolutions.end());
    }
  }
}

void SaneSession::CloseDevice() {
  if (!device_) return;
  SANE_Handle handle = nullptr;
  {
    std::lock_guard lock(mutex_);
    handle = handle_;
    handle_ = nullptr;
  }
  sane_->close(handle);
  device_.reset();
}

ScanOffer SaneSession::Describe() {
  ScanOffer offer;
  offer.device = device_->name;
  offer.label = device_->label;
  for (const std::string& source : device_->sources) {
    (IsFeeder(source) ? offer.feeder : offer.flatbed) = true;
  }
  if (device_->sources.empty()) offer.flatbed = true;
  for (const char* mode : {"color", "gray", "lineart"}) {
    const bool offered =
        std::any_of(device_->modes.begin(), device_->modes.end(),
                    [&](const std::string& value) { return IsMode(value, mode); }) ||
        // Black and white as grey at one bit a sample.
        (std::string_view(mode) == "lineart" &&
         std::find(device_->depths.begin(), device_->depths.end(), 1) != device_->depths.end());
    if (offered) offer.modes.emplace_back(mode);
  }
  offer.resolutions = device_->resolutions;
  return offer;
}

bool SaneSession::ApplyChoices(const ScanChoices& choices) {
  SANE_Handle handle = handle_;
  // A value can change what other options offer; the device then wants them read again.
  const auto reloaded = [&](SANE_Int info) {
    if ((info & SANE_INFO_RELOAD_OPTIONS) != 0) ReadOptions(false);
  };
  // By value: a reload replaces the lists the values come from.
  const auto setText = [&](int option, std::string value) {
    std::vector<char> text(value.begin(), value.end());
    text.resize(std::max<std::size_t>(text.size() + 1, 256), '\0');
    SANE_Int info = 0;
    const SANE_Status status =
        sane_->control_option(handle, option, SANE_ACTION_SET_VALUE, text.data(), &info);
    reloaded(info);
    if (status != SANE_STATUS_GOOD) {
      LogWarning(kComponent, device_->name + " refused the value " + value + ": " +
                                 sane_->strstatus(status));
    }
  };
  const auto setWord = [&](int option, SANE_Word value, const char* what) {
    SANE_Int info = 0;
    const SANE_Status status =
        sane_->control_option(handle, option, SANE_ACTION_SET_VALUE, &value, &info);
    reloaded(info);
    if (status != SANE_STATUS_GOOD) {
      LogWarning(kComponent, device_->name + " refused the " + what + ": " +
                                 sane_->strstatus(status));
    }
  };

  // The source first: it can change the modes and resolutions a device offers.
  device_->feeder = false;
  if (device_->sourceOption >= 0) {
    const auto feeder =
        std::find_if(device_->sources.begin(), device_->sources.end(), IsFeeder);
    const bool wantFeeder = choices.source.empty() ? feeder != device_->sources.end()
                                                   : choices.source == "feeder";
    const auto flatbed = std::find_if(device_->sources.begin(), device_->sources.end(),
                                      [](const std::string& s) { return !IsFeeder(s); });
    const auto chosen = wantFeeder ? feeder : flatbed;
    if (chosen != device_->sources.end()) {
      const std::string source = *chosen;
      setText(device_->sourceOption, source);
      device_->feeder = IsFeeder(source);
    }
  }

  bool oneBit = false;
  if (device_->modeOption >= 0) {
    auto mode = std::find_if(device_->modes.begin(), device_->modes.end(),
                             [&](const std::string& v) { return IsMode(v, choices.mode); });
    if (mode == device_->modes.end() && choices.mode == "lineart") {
      mode = std::find_if(device_->modes.begin(), device_->modes.end(),
                          [](const std::string& v) { return IsMode(v, "gray"); });
      oneBit = true;
    }
    if (mode != device_->modes.end()) setText(device_->modeOption, *mode);
  }
  if (device_->depthOption >= 0) {
    // A depth set for black and white would otherwise stay for the next colour scan.
    setWord(device_->depthOption, oneBit ? 1 : device_->initialDepth, "depth");
  }

  if (device_->resolutionOption >= 0 && !device_->resolutions.empty()) {
    const int wanted = choices.resolution;
    // The device rounds a value within its range to its own steps.
    const int nearest = device_->rangeLow > 0 ? std::clamp(wanted, device_->rangeLow, device_->rangeHigh) : *std::min_element(
        device_->resolutions.begin(), device_->resolutions.end(),
        [&](int a, int b) { return std::abs(a - wanted) < std::abs(b - wanted); });
    setWord(device_->resolutionOption,
            device_->resolutionFixed ? SANE_FIX(static_cast<double>(nearest)) : nearest,
            "resolution");
  }
  return true;
}

bool SaneSession::Acquire() {
  if (busy_.exchange(true)) {
    LogWarning(kComponent, "no scan: a scan is already under way");
    return false;
  }
  cancelled_ = false;
  auto started = std::make_shared<std::promise<bool>>();
  std::future<bool> result = started->get_future();
  const ScanChoices choices = Choices();
  Post([this, started, choices] {
    if (!OpenDevice(choices)) {
      busy_ = false;
      started->set_value(false);
      return;
    }
    if (dialog_ != nullptr) {
      std::weak_ptr<Life> life = life_;
      dialog_->AskScan(
          Describe(), choices,
          [life](std::optional<ScanChoices> answer) {
            PostIfAlive(life, [answer](SaneSession& self) {
              if (!answer) {
                self.CloseDevice();
                self.busy_ = false;
                return;
              }
              {
                std::lock_guard lock(self.mutex_);
                self.choices_ = *answer;
              }
              self.ApplyChoices(*answer);
              self.Scan(nullptr);
              self.Finish();
              self.dialog_->ScanEnded();
            });
          },
          [life] {
            const std::shared_ptr<Life> held = life.lock();
            if (!held) return;
            std::lock_guard lock(held->mutex);
            if (held->self != nullptr) held->self->Cancel();
          });
      started->set_value(true);
      return;
    }
    ApplyChoices(choices);
    const bool ok = Scan([started] { started->set_value(true); });
    Finish();
    if (!ok) started->set_value(false);
  });
  try {
    return result.get();
  } catch (const std::future_error&) {
    return false;  // the session ended before the job ran
  }
}

void SaneSession::Finish() {
  CloseDevice();
  busy_ = false;
}

bool SaneSession::Scan(const std::function<void()>& started) {
  std::vector<uint8_t> buffer(kReadBuffer);
  std::function<void()> onStart = started;
  int pages = 0;
  for (;;) {
    std::string why;
    const PageResult result = ScanPage(buffer, onStart, why);
    if (result == PageResult::Queued) {
      ++pages;
      if (device_->feeder) continue;
      break;
    }
    if (result == PageResult::Cancelled) {
      LogInfo(kComponent, "scan cancelled after " + std::to_string(pages) + " page(s)");
      break;
    }
    if (result == PageResult::NoMore && pages > 0) break;  // the feeder is empty
    // A failure: what was scanned stays queued.
    LogError(kComponent, "scan of " + device_->name + " stopped after " +
                             std::to_string(pages) + " page(s): " + why);
    break;
  }
  {
    std::lock_guard lock(mutex_);
    sane_->cancel(handle_);  // ends the scan, as SANE asks after the last page
  }
  if (pages > 0 || cancelled_) return true;
  if (onStart) return false;  // the first page never started: Acquire tells the user
  messages_.Show("Error start scan", "Error");
  return true;
}

SaneSession::PageResult SaneSession::ScanPage(std::vector<uint8_t>& buffer,
                                              std::function<void()>& started, std::string& why) {
  SANE_Handle handle = handle_;
  SanePage page;
  for (;;) {  // one frame a pass: one for grey and colour, three for three-pass colour
    SANE_Status status = sane_->start(handle);
    if (status == SANE_STATUS_GOOD) {
      SANE_Parameters parameters{};
      status = sane_->get_parameters(handle, &parameters);
      if (status == SANE_STATUS_GOOD && !page.BeginFrame(parameters, why)) {
        return PageResult::Failed;
      }
    }
    if (status == SANE_STATUS_NO_DOCS) {
      why = sane_->strstatus(status);
      return PageResult::NoMore;
    }
    if (status == SANE_STATUS_CANCELLED || cancelled_) return PageResult::Cancelled;
    if (status != SANE_STATUS_GOOD) {
      why = sane_->strstatus(status);
      return PageResult::Failed;
    }
    if (started) {
      // Whoever waits for the start need not wait for the pages.
      std::exchange(started, nullptr)();
    }
    for (;;) {
      SANE_Int length = 0;
      status = sane_->read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
      if (status != SANE_STATUS_GOOD) break;
      page.Add(buffer.data(), static_cast<std::size_t>(length));
    }
    if (status == SANE_STATUS_CANCELLED || cancelled_) return PageResult::Cancelled;
    if (status != SANE_STATUS_EOF) {
      // Jammed, cover open, gone...: the partial page is dropped.
      why = sane_->strstatus(status);
      return PageResult::Failed;
    }
    if (page.EndFrame()) break;
  }
  std::string jpeg = page.Finish();
  if (jpeg.empty()) {
    why = "the page could not be encoded";
    return PageResult::Failed;
  }
  onPage_(std::move(jpeg));
  return PageResult::Queued;
}

void SaneSession::Cancel() {
  std::lock_guard lock(mutex_);
  if (!busy_) return;
  cancelled_ = true;
  if (handle_ != nullptr) sane_->cancel(handle_);
}

void SaneSession::SelectSource() {
  Post([this] {
    RefreshDevices();
    if (dialog_ == nullptr) return;
    std::vector<SaneDeviceInfo> devices;
    std::string current;
    {
      std::lock_guard lock(mutex_);
      devices = devices_;
      current = choices_.device;
    }
    std::weak_ptr<Life> life = life_;
    dialog_->ChooseDevice(devices, current, [life](const std::string& name) {
      const std::shared_ptr<Life> held = life.lock();
      if (!held) return;
      std::lock_guard lock(held->mutex);
      if (held->self != nullptr) held->self->SetDevice(name);
    });
  });
}

}  // namespace dralmin
