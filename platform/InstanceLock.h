#pragma once

#include <string>

namespace dralmin {

// A per-user, per-name lock that exists exactly as long as the process that holds it: the kernel
// drops it when the process ends, however it ends.
class InstanceLock {
 public:
  // Tries to take the lock named `name`; Held() tells whether it was taken.
  explicit InstanceLock(const std::string& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace dralmin
