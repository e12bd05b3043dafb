#pragma once
// Kernel waits that a signal handler, or a Set another waiter took, may cut
// short: they go on for what is left of their time.

#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>

#include "xplat/clock.h"

namespace xplat {

// Calls attempt(ms left) until it gives an outcome; nullopt means the wait
// was cut short. Once no time is left (never for kInfinite) the outcome is
// timedOut.
template <typename Outcome, typename Attempt>
Outcome WaitForRest(std::uint32_t ms, Outcome timedOut, Attempt attempt) {
  using namespace std::chrono;
  const auto end = steady_clock::now() + milliseconds(ms);
  for (std::uint32_t left = ms;;) {
    if (std::optional<Outcome> outcome = attempt(left)) return *outcome;
    if (ms == kInfinite) continue;
    const auto rest = duration_cast<milliseconds>(end - steady_clock::now()).count();
    if (rest <= 0) return timedOut;
    left = static_cast<std::uint32_t>(rest);
  }
}

// The time-out argument of poll and epoll_wait: -1 for kInfinite.
inline int PollTimeout(std::uint32_t ms) {
  return ms == kInfinite ? -1 : static_cast<int>(ms > INT_MAX ? INT_MAX : ms);
}

}  // namespace xplat
