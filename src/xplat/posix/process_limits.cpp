#include "xplat/process_limits.h"

#include <atomic>

#include "xplat/posix/child_limits.h"

namespace xplat {
namespace {

// 0 while the limit was never raised.
std::atomic<rlim_t> softLimitBeforeRaise{0};

}  // namespace

bool RaiseOpenFileLimit() {
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return false;
  if (limits.rlim_cur == limits.rlim_max) return true;
  const rlim_t before = limits.rlim_cur;
  limits.rlim_cur = limits.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limits) != 0) return false;
  rlim_t never = 0;
  softLimitBeforeRaise.compare_exchange_strong(never, before);
  return true;
}

rlim_t ChildOpenFileLimit() { return softLimitBeforeRaise.load(); }

}  // namespace xplat
