#pragma once
// What the host manager remembers of each host's runs: for the restart
// back-off, and for the status it answers over the broker.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace zav::custody {

struct HostHistory {
  std::uint32_t processId = 0;
  std::uint64_t startedMs = 0;  // the clock's time, for the back-off
  std::uint64_t startedWallMs = 0;
  std::optional<std::uint64_t> endedWallMs;
  std::optional<std::uint32_t> exitCode;  // none while it runs, or when it cannot be read
  bool adopted = false;                   // taken over from an earlier service, not started
  std::deque<std::uint64_t> restarts;     // the clock's times of restarts in the last hour
  unsigned quickExits = 0;                // runs in a row that ended within kQuickExitMs
  std::optional<std::uint64_t> nextStartMs;

  bool Running() const { return startedWallMs != 0 && !endedWallMs; }
};

inline constexpr std::uint64_t kQuickExitMs = 10 * 1000;
inline constexpr std::uint64_t kSteadyRunMs = 10 * 60 * 1000;
inline constexpr std::uint32_t kLongestBackOffMs = 5 * 60 * 1000;
inline constexpr std::uint64_t kRestartWindowMs = 60 * 60 * 1000;

// How long a host that ran runMs waits before it is started again. A run of
// kQuickExitMs or more starts again at once, one of kSteadyRunMs clears the
// count of quick exits; the first quick exit also starts again at once, the
// next ones wait 1 s, 2 s, 4 s ... up to kLongestBackOffMs.
std::uint32_t RestartDelay(std::uint64_t runMs, unsigned& quickExits);

// Drops the restarts that lie more than an hour before now.
void ForgetOldRestarts(HostHistory& history, std::uint64_t nowMs);
// The restarts within the hour before now.
std::size_t RestartsInLastHour(const HostHistory& history, std::uint64_t nowMs);

}  // namespace zav::custody
