#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "broker/BrokerProtocol.h"
#include "platform/PeerOwner.h"

namespace dralmin {

// A registered agent as the status page and the log show it.
struct BrokerRegistration {
  LocalUser user = 0;
  std::uint32_t process = 0;
};

// What a holder of the ports answers an agent's hello from a user: not an agent's (closed
// without an answer), other ports, or taken by that user's agent still there; otherwise the
// agent is registered, in place of one that has gone.
enum class HelloVerdict { kNotAnAgent, kOtherPorts, kTaken, kRegister };
HelloVerdict JudgeHello(std::string_view hello, rendezvous::Ports ports, bool userHasAgentThere);

// The registrations of a holder of the ports, whatever carries them (a local socket, a named
// pipe): what users may leave unfinished, and the one agent of each user. `Agent` has `user` and
// `process`. Used on the holder's one thread.
template <class Agent>
class Registrations {
 public:
  // A registration says at once who it is: what one user may hold of the rendezvous before that
  // is bounded in number (and by the holder in time).
  static constexpr std::size_t kUnfinishedPerUser = 2;
  static constexpr std::size_t kUnfinishedInAll = 256;

  // An unfinished registration of `user` begins; false when it would be one too many.
  bool Begin(LocalUser user) {
    std::size_t& ofUser = unfinished_[user];
    if (ofUser >= kUnfinishedPerUser || inAll_ >= kUnfinishedInAll) {
      if (ofUser == 0) unfinished_.erase(user);
      return false;
    }
    ++ofUser;
    ++inAll_;
    return true;
  }
  // It has finished (registered or not).
  void End(LocalUser user) {
    const auto found = unfinished_.find(user);
    if (found == unfinished_.end()) return;
    --inAll_;
    if (--found->second == 0) unfinished_.erase(found);
  }
  // Every unfinished one is let go of at once.
  void EndAll() {
    unfinished_.clear();
    inAll_ = 0;
  }

  std::shared_ptr<Agent> Of(LocalUser user) const {
    const auto found = agents_.find(user);
    return found == agents_.end() ? nullptr : found->second;
  }
  void Add(std::shared_ptr<Agent> agent) { agents_[agent->user] = std::move(agent); }
  // False when `agent` is not (any more) the one registered for its user.
  bool Remove(const std::shared_ptr<Agent>& agent) {
    const auto found = agents_.find(agent->user);
    if (found == agents_.end() || found->second != agent) return false;
    agents_.erase(found);
    return true;
  }
  std::vector<std::shared_ptr<Agent>> TakeAll() {
    std::vector<std::shared_ptr<Agent>> all;
    for (auto& [user, agent] : agents_) all.push_back(std::move(agent));
    agents_.clear();
    return all;
  }
  std::vector<BrokerRegistration> View() const {
    std::vector<BrokerRegistration> view;
    for (const auto& [user, agent] : agents_) view.push_back({user, agent->process});
    return view;
  }

 private:
  std::unordered_map<LocalUser, std::size_t> unfinished_;
  std::size_t inAll_ = 0;
  std::unordered_map<LocalUser, std::shared_ptr<Agent>> agents_;
};

}  // namespace dralmin
