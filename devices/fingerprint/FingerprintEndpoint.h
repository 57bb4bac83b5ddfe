#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "devices/fingerprint/FingerprintScanner.h"

namespace dralmin {

// Whole seconds from some fixed point; only differences are used.
using SecondsClock = std::function<int64_t()>;

// Seconds of a clock that never steps back, so that a change of the system time neither hands
// the scanner to another page early nor locks other pages out.
int64_t MonotonicSeconds();

// The "/finger/" endpoint: one capture attempt per request, the scanner owned by one page at a
// time, and one template per touch of the finger. Runs on the gateway's poll thread only.
class FingerprintEndpoint {
 public:
  // A page that has been silent for longer than this loses the scanner to another page.
  static constexpr double kOwnerTimeoutSeconds = 5.0;
  // Enrolment quality from which a finger counts as being on the scanner.
  static constexpr uint8_t kGoodQuality = 80;

  FingerprintEndpoint(SdkLoader loader, SecondsClock clock)
      : scanner_(std::move(loader)), clock_(std::move(clock)) {}

  // The reply body for a request from page `id` (empty when the page gave none): the template,
  // an error or instruction form, or an empty body while another capture is under way.
  std::string Handle(const std::string& id);

 private:
  // The ownership gate: true when page `id` may use the scanner now.
  bool Admit(const std::string& id);
  std::string Capture();

  FingerprintScanner scanner_;
  SecondsClock clock_;
  std::string lastFingerId;     // the page that holds the scanner; empty before the first
  int64_t lastFingerTime = 0;   // when that page's last request was let through
  bool fingerCaptured = false;  // a template went out and no finger has been lifted since
  bool captureBusy = false;     // a capture is under way
};

}  // namespace dralmin
