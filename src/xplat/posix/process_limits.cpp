#include "xplat/process_limits.h"

#include <sys/resource.h>

namespace xplat {

bool RaiseOpenFileLimit() {
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return false;
  if (limits.rlim_cur == limits.rlim_max) return true;
  limits.rlim_cur = limits.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &limits) == 0;
}

}  // namespace xplat
