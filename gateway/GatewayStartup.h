#pragma once

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>

#include "gateway/CertStore.h"
#include "gateway/GatewayServer.h"

namespace dralmin {

// What became of the HTTPS port, for the status page: written once by ProvideHttps on the poll
// thread's companion, read on the poll thread.
class HttpsStatus {
 public:
  struct State {
    bool on = false;
    std::string text = "starting";  // why it is off, or "serving HTTPS"
    std::string version;            // the certificate's
    std::string subject;
    std::time_t expires = 0;  // 0 when unknown
  };
  void Set(State state) {
    std::lock_guard lock(mutex_);
    state_ = std::move(state);
  }
  State Get() const {
    std::lock_guard lock(mutex_);
    return state_;
  }

 private:
  mutable std::mutex mutex_;
  State state_;
};

// Certificates that expire within this many days are warned of at start and on the status page.
inline constexpr int kCertificateWarningDays = 14;

// The subject and the end of validity of the PEM certificate at `path`; false when it cannot be
// read.
bool ReadCertificateSummary(const std::string& path, std::string& subject, std::time_t& expires);

// The certificate's share of the gateway's start, run beside the poll loop (the poll thread's
// companion) so that the plain port serves meanwhile: brings the certificate up to date, then adds
// the HTTPS listener when a version is installed. Installed files that do not load are forgotten
// (the next start downloads them again) and this run serves plain HTTP only, rather than failing
// every start. Throws ListenerError when the HTTPS port cannot be bound. `stopping` is the
// gateway's stop, which `certificates` also watches to cancel a transfer.
void ProvideHttps(GatewayServer& server, CertStore& certificates,
                  const std::atomic<bool>& stopping, HttpsStatus* status = nullptr);

}  // namespace dralmin
