#pragma once

namespace dralmin {

// Sets a busy flag for the life of a scope and clears it however the scope ends, so that no early
// return or exception leaves it set for good.
class ScopedFlag {
 public:
  explicit ScopedFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~ScopedFlag() { flag_ = false; }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace dralmin
