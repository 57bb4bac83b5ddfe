#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/PeerOwner.h"

namespace dralmin {

// Who holds the agent's ports, for the status page; shared between the poll thread, which
// writes it, and the status page's reader.
struct PortsView {
  enum class Holder { kNone, kThisAgent, kBroker, kOtherAgent };
  Holder holder = Holder::kNone;
  LocalUser holderUser = 0;                // kOtherAgent: whose agent
  std::vector<std::string> plain, secure;  // kThisAgent: the addresses held, "127.0.0.1:8081"
  struct Registration {
    LocalUser user = 0;
    std::uint32_t process = 0;
  };
  std::vector<Registration> registered;  // kThisAgent: other users' agents registered here
};

class PortsReport {
 public:
  void Set(PortsView view) {
    std::lock_guard lock(mutex_);
    view.registered = std::move(view_.registered);
    view_ = std::move(view);
  }
  // From the thread that takes the registrations.
  void SetRegistered(std::vector<PortsView::Registration> registered) {
    std::lock_guard lock(mutex_);
    view_.registered = std::move(registered);
  }
  PortsView Get() const {
    std::lock_guard lock(mutex_);
    PortsView view = view_;
    if (view.holder != PortsView::Holder::kThisAgent) view.registered.clear();
    return view;
  }

 private:
  mutable std::mutex mutex_;
  PortsView view_;
};

}  // namespace dralmin
