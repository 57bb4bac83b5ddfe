#include "devices/barcode/driver/ScannerReader.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Log.h"

namespace dralmin {
namespace {

constexpr uint64_t kChangesToken = 0;
constexpr std::string_view kComponent = "barcode";

void Watch(int epoll, int fd, uint64_t token) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = token;
  epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

ScannerReader::ScannerReader(DeviceAccess& access, std::vector<ConfiguredDevice> devices,
                             Options options, Scanned scanned,
                             std::function<Clock::time_point()> clock)
    : access_(access),
      devices_(std::move(devices)),
      options_(std::move(options)),
      scanned_(std::move(scanned)),
      clock_(std::move(clock)),
      epoll_(epoll_create1(EPOLL_CLOEXEC)) {
  if (access_.ChangeDescriptor() >= 0) Watch(epoll_, access_.ChangeDescriptor(), kChangesToken);
  if (devices_.empty()) {
    LogInfo(kComponent,
            "no scanner devices are configured (barcode_devices), so none is read; keyboards are "
            "never taken over unasked");
  }
  Rescan();
}

ScannerReader::~ScannerReader() {
  open_.clear();
  if (epoll_ >= 0) close(epoll_);
}

std::optional<ScannerReader::Clock::time_point> ScannerReader::NextWake() const {
  std::optional<Clock::time_point> wake = rescanAt_;
  for (const auto& [token, device] : open_) {
    if (!device.keys) continue;
    if (const auto deadline = device.keys->Deadline(); deadline && (!wake || *deadline < *wake)) {
      wake = deadline;
    }
  }
  return wake;
}

void ScannerReader::Process() {
  epoll_event events[16];
  const int ready = epoll_wait(epoll_, events, std::size(events), 0);
  for (int i = 0; i < ready; ++i) {
    if (events[i].data.u64 == kChangesToken) {
      access_.TakeChanges();
      WakeAt(clock_() + options_.settleDelay);
    } else {
      ReadDevice(events[i].data.u64);
    }
  }
  const Clock::time_point now = clock_();
  for (auto& [token, device] : open_) {
    if (device.keys) {
      device.keys->Expire(
          now, [this, id = device.scannerId](const std::string& code) { scanned_(code, id); });
    }
  }
  if (rescanAt_ && now >= *rescanAt_) Rescan();
}

void ScannerReader::RunOnce(std::chrono::milliseconds timeout) {
  if (const auto wake = NextWake()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - clock_());
    timeout = std::clamp(left, std::chrono::milliseconds(0), timeout);
  }
  pollfd ready{epoll_, POLLIN, 0};
  poll(&ready, 1, static_cast<int>(timeout.count()));
  Process();
}

void ScannerReader::Rescan() {
  rescanAt_.reset();
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const ConfiguredDevice& device = devices_[i];
    const std::vector<std::string> nodes = access_.Find(device);
    if (nodes.empty()) {
      ReportOnce(device.text, device.text + " is not connected; it is read as soon as it is",
                 false);
      continue;
    }
    for (const std::string& node : nodes) {
      const bool isOpen = std::any_of(open_.begin(), open_.end(),
                                      [&](const auto& entry) { return entry.second.node == node; });
      if (!isOpen) OpenNode(node, static_cast<int>(i) + 1);
    }
  }
}

void ScannerReader::OpenNode(const std::string& node, int scannerId) {
  std::string error;
  std::unique_ptr<ScannerDevice> device = access_.Open(node, error);
  if (!device) {
    ReportOnce(node,
               node + " cannot be used: " + error + "; tried again every " +
                   std::to_string(options_.retryInterval.count()) + " ms",
               true);
    WakeAt(clock_() + options_.retryInterval);
    return;
  }
  reported_.erase(node);
  reported_.erase(devices_[scannerId - 1].text);
  const uint64_t token = nextToken_++;
  Open& entry = open_[token];
  entry.node = node;
  entry.scannerId = scannerId;
  if (device->Kind() == DeviceKind::Keyboard) {
    const ScannerDevice* held = device.get();
    entry.keys = std::make_unique<KeyboardDecoder>(options_.layout, options_.framing, node,
                                                   [held] { return held->HeldKeys(); });
  } else {
    entry.serial = std::make_unique<SerialFramer>(node);
  }
  Watch(epoll_, device->Descriptor(), token);
  entry.device = std::move(device);
  LogInfo(kComponent,
          "reading " + node + (entry.keys ? " as a keyboard scanner" : " as a serial scanner"));
}

void ScannerReader::ReadDevice(uint64_t token) {
  const auto found = open_.find(token);
  if (found == open_.end()) return;
  Open& entry = found->second;
  std::string bytes;
  std::string error;
  const bool alive = entry.device->Read(bytes, error);
  const CodeSink sink = [this, id = entry.scannerId](const std::string& code) {
    scanned_(code, id);
  };
  if (entry.keys) {
    entry.keys->Feed(bytes, clock_(), sink);
  } else {
    entry.serial->Feed(bytes, sink);
  }
  if (!alive) Close(token, error);
}

void ScannerReader::Close(uint64_t token, const std::string& why) {
  const auto found = open_.find(token);
  Open& entry = found->second;
  LogInfo(kComponent,
          entry.node + " is no longer read (" + why + "); it is read again when it comes back");
  // Its absence has just been told; the next look for it need not say it again.
  const ConfiguredDevice& device = devices_[entry.scannerId - 1];
  reported_[device.text] = device.text + " is not connected; it is read as soon as it is";
  if (entry.keys) entry.keys->Drop();
  if (entry.serial) entry.serial->Drop();
  epoll_ctl(epoll_, EPOLL_CTL_DEL, entry.device->Descriptor(), nullptr);
  open_.erase(found);
  // A node that is still there (a line error rather than an unplug) is tried again later.
  WakeAt(clock_() + options_.retryInterval);
}

void ScannerReader::ReportOnce(const std::string& subject, const std::string& what, bool warning) {
  std::string& last = reported_[subject];
  if (last == what) return;
  last = what;
  Log(warning ? LogLevel::Warning : LogLevel::Info, kComponent, what);
}

void ScannerReader::WakeAt(Clock::time_point when) {
  if (!rescanAt_ || when < *rescanAt_) rescanAt_ = when;
}

}  // namespace dralmin
