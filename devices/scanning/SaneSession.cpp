#include "devices/scanning/SaneSession.h"

#include <future>
#include <utility>

#include "devices/scanning/SaneLibrary.h"
#include "devices/scanning/SaneOptions.h"
#include "devices/scanning/SanePage.h"
#include "devices/scanning/ScannerListing.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"

namespace dralmin {
namespace {

constexpr std::string_view kComponent = "scanner";

// Room for a few hundred lines at a time: enough that the reads, not the calls, set the pace.
constexpr std::size_t kReadBuffer = 256 * 1024;

}  // namespace

// The session's hold on itself for the dialog's answers, which may come after it is gone.
struct SaneSession::Life {
  explicit Life(SaneSession* session) : self(session) {}
  std::mutex mutex;
  SaneSession* self;
};

SaneSession::SaneSession(std::unique_ptr<SaneLibrary> library, ScanChoices choices,
                         ScanDialog* dialog, MessageBox& messages, PageSink onPage,
                         bool askBeforeScan, ScannerListing* listing)
    : life_(std::make_shared<Life>(this)),
      sane_(std::move(library)),
      dialog_(dialog),
      askBeforeScan_(askBeforeScan),
      listing_(listing),
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
  if (listing_ != nullptr) {
    std::vector<std::string> names;
    for (const SaneDeviceInfo& d : found) {
      names.push_back(d.name + " (" + d.vendor + " " + d.model + ")");
    }
    listing_->Record(std::move(names));
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
  device_ = std::make_unique<SaneOptions>(*sane_, handle, name, label.empty() ? name : label);
  return true;
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
    if (dialog_ != nullptr && askBeforeScan_) {
      std::weak_ptr<Life> life = life_;
      dialog_->AskScan(
          device_->Describe(), choices,
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
              self.device_->Apply(*answer);
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
    device_->Apply(choices);
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
  bool notKept = false;
  for (;;) {
    std::string why;
    const PageResult result = ScanPage(buffer, onStart, why);
    if (result == PageResult::Queued) {
      ++pages;
      if (device_->Feeder()) continue;
      break;
    }
    if (result == PageResult::Cancelled) {
      LogInfo(kComponent, "scan cancelled after " + std::to_string(pages) + " page(s)");
      break;
    }
    if (result == PageResult::NoMore && pages > 0) break;  // the feeder is empty
    if (result == PageResult::NotKept) {
      // The queue told the user why.
      LogError(kComponent, "scan of " + device_->Name() + " stopped after " +
                               std::to_string(pages) + " page(s): the next page was not kept");
      notKept = true;
      break;
    }
    // A failure: what was scanned stays queued.
    LogError(kComponent, "scan of " + device_->Name() + " stopped after " + std::to_string(pages) +
                             " page(s): " + why);
    break;
  }
  {
    std::lock_guard lock(mutex_);
    sane_->cancel(handle_);  // ends the scan, as SANE asks after the last page
  }
  if (pages > 0 || cancelled_ || notKept) return true;
  if (onStart) return false;  // the first page never started: Acquire tells the user
  messages_.Show("Error start scan", "Error");
  return true;
}

SaneSession::PageResult SaneSession::ScanPage(std::vector<uint8_t>& buffer,
                                              std::function<void()>& started, std::string& why) {
  SANE_Handle handle = handle_;
  SanePage page;
  for (;;) {  // one frame a pass: one for grey and colour, three for three-pass colour
    if (cancelled_) return PageResult::Cancelled;
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
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return PageResult::Cancelled;
      reading_ = true;
    }
    for (;;) {
      SANE_Int length = 0;
      status = sane_->read(handle, buffer.data(), static_cast<SANE_Int>(buffer.size()), &length);
      if (status != SANE_STATUS_GOOD) break;
      page.Add(buffer.data(), static_cast<std::size_t>(length));
    }
    {
      std::lock_guard lock(mutex_);
      reading_ = false;
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
  return onPage_(jpeg) ? PageResult::Queued : PageResult::NotKept;
}

void SaneSession::Cancel() {
  std::lock_guard lock(mutex_);
  if (!busy_) return;
  cancelled_ = true;
  // Backends take a cancel from another thread while sane_read waits for data, but one that meets
  // sane_start can leave the new frame's reader running after the device is closed: outside a
  // read, the worker sees the flag and cancels on its own thread.
  if (reading_ && handle_ != nullptr) sane_->cancel(handle_);
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
