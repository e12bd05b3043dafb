#include "hosts/host_history.h"

#include <algorithm>

namespace zav::custody {

std::uint32_t RestartDelay(std::uint64_t runMs, unsigned& quickExits) {
  if (runMs >= kSteadyRunMs) quickExits = 0;
  if (runMs >= kQuickExitMs) return 0;
  ++quickExits;
  if (quickExits == 1) return 0;
  const unsigned doublings = std::min(quickExits - 2, 20u);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{1000} << doublings, kLongestBackOffMs));
}

std::size_t RestartsInLastHour(const HostHistory& history, std::uint64_t nowMs) {
  return static_cast<std::size_t>(std::count_if(history.restarts.begin(), history.restarts.end(),
                                                [&](std::uint64_t at) { return nowMs - at <= kRestartWindowMs; }));
}

void ForgetOldRestarts(HostHistory& history, std::uint64_t nowMs) {
  while (!history.restarts.empty() && nowMs - history.restarts.front() > kRestartWindowMs) {
    history.restarts.pop_front();
  }
}

}  // namespace zav::custody
