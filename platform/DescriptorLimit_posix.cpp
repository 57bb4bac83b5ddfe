#include <sys/resource.h>

#include "platform/DescriptorLimit.h"

namespace dralmin {

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kNoDescriptorLimit;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return kNoDescriptorLimit;
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace dralmin
