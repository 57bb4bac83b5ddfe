#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/scanning/SaneOptions.h"
#include "devices/scanning/ScanSession.h"

namespace dralmin {

class MessageBox;
class SaneLibrary;
class ScannerListing;

// A scanner as SANE lists it.
struct SaneDeviceInfo {
  std::string name;  // what sane_open takes, such as "test:0"
  std::string vendor;
  std::string model;
};

// What the user sees of a SANE scan (SANE has no window of its own). Calls come from the
// session's worker thread and return at once; the answers may come from any thread.
class ScanDialog {
 public:
  virtual ~ScanDialog() = default;
  // Shows the scan dialog. `answer` is called once: with the user's choices when Scan is
  // pressed (the dialog then stays until ScanEnded, its Cancel calling `cancel`), or with
  // nothing when the dialog is closed without scanning.
  virtual void AskScan(const ScanOffer& offer, const ScanChoices& preset,
                       std::function<void(std::optional<ScanChoices>)> answer,
                       std::function<void()> cancel) = 0;
  // The scan that the dialog started has ended, however it ended.
  virtual void ScanEnded() = 0;
  // Lets the user choose among the devices; `chosen` receives the device's name.
  virtual void ChooseDevice(const std::vector<SaneDeviceInfo>& devices, const std::string& current,
                            std::function<void(const std::string&)> chosen) = 0;
};

// Scanning through SANE. One worker thread makes every SANE call (sane_init when the session
// starts, sane_exit when it ends) and owns the open handle; only sane_cancel comes from other
// threads. Pages are read frame by frame, encoded as they arrive and handed to `onPage` as JPEG
// files: from a feeder until it is empty, from a flatbed one page. Failures leave one line on
// standard error naming the SANE status; when nothing could be scanned the user is told
// "Error start scan", as for every scanner.
class SaneSession final : public ScanSession {
 public:
  // False when the page could not be kept (the sink told the user): the scan ends there.
  using PageSink = std::function<bool(std::string_view jpeg)>;

  // `dialog` may be null: every scan then starts at once with the current choices, and the
  // scanner choice only refreshes the list. With `askBeforeScan` false the dialog serves the
  // scanner choice alone and scans start at once (unattended stations). Each refresh of the
  // device list is recorded in `listing` when given.
  SaneSession(std::unique_ptr<SaneLibrary> library, ScanChoices choices, ScanDialog* dialog,
              MessageBox& messages, PageSink onPage, bool askBeforeScan = true,
              ScannerListing* listing = nullptr);
  ~SaneSession() override;
  SaneSession(const SaneSession&) = delete;
  SaneSession& operator=(const SaneSession&) = delete;

  // Opens the device (and, without a dialog, starts the first page); waits for that much only.
  // False when a scan is already under way or the device could not be opened or started.
  bool Acquire() override;

  // Refreshes the device list on the worker and then lets the user choose; returns at once.
  void SelectSource() override;

  // Stops the scan in progress (sane_cancel); the page being read is dropped. Any thread.
  void Cancel();

  ScanChoices Choices() const;
  void SetDevice(const std::string& name);

  // True while a scan (or its dialog) is under way.
  bool Busy() const override { return busy_; }

 private:
  struct Life;
  enum class PageResult { Queued, NoMore, Failed, Cancelled, NotKept };

  void Post(std::function<void()> job);
  void Run();
  void RefreshDevices();
  bool OpenDevice(const ScanChoices& choices);
  void CloseDevice();
  // Scans until the feeder is empty, the flatbed page is done, a failure or a cancel. `started`
  // (when given) is called once the first page has started; false when it was given and the
  // first page could not start (the caller then tells the user).
  bool Scan(const std::function<void()>& started);
  PageResult ScanPage(std::vector<uint8_t>& buffer, std::function<void()>& started,
                      std::string& why);
  void Finish();
  // Runs `job` on the worker if the session still exists; for answers of the dialog.
  static void PostIfAlive(const std::weak_ptr<Life>& life, std::function<void(SaneSession&)> job);

  std::shared_ptr<Life> life_;
  std::unique_ptr<SaneLibrary> sane_;
  ScanDialog* dialog_;
  bool askBeforeScan_;
  ScannerListing* listing_;
  MessageBox& messages_;
  PageSink onPage_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> cancelled_{false};

  mutable std::mutex mutex_;  // guards choices_, devices_, jobs_, stopping_, handle_ for cancel
  std::condition_variable wake_;
  ScanChoices choices_;
  std::vector<SaneDeviceInfo> devices_;
  bool devicesFetched_ = false;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;

  // Worker-owned, except that Cancel reads the handle and reading_ under mutex_.
  std::unique_ptr<SaneOptions> device_;  // the open device
  void* handle_ = nullptr;
  // Between sane_start and the frame's last sane_read: the only time another thread cancels.
  bool reading_ = false;
  bool initialised_ = false;
  std::thread worker_;
};

}  // namespace dralmin
