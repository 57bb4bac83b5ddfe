#pragma once

#include <string>

namespace dralmin {

// The lock file named `name` for this user: in $XDG_RUNTIME_DIR, or in /tmp with the user id in
// its name, as /tmp is shared by every user. On Windows the name of a mutex in the namespace of
// the user's logon: `name` itself.
std::string InstanceLockPath(const std::string& name);

// A per-user lock on a file that exists exactly as long as the process that holds it: the kernel
// drops it when the process ends, however it ends.
class InstanceLock {
 public:
  enum class State {
    Held,         // taken by this process
    HeldByPeer,   // another process of this user holds it
    Unavailable,  // the file cannot be created, opened or locked, or is not this user's
  };

  // Tries to take the lock on the file `path` (created 0600 when missing).
  explicit InstanceLock(const std::string& path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  // Why the lock is Unavailable.
  const std::string& error() const { return error_; }

 private:
#ifdef _WIN32
  void* mutex_ = nullptr;
#else
  int fd_ = -1;
#endif
  State state_ = State::Unavailable;
  std::string error_;
};

}  // namespace dralmin
