#pragma once
// What the host manager remembers of each host's runs: when its process
// started and ended, how it ended, how often it was started again, and, with
// the restart back-off, when it may start again. It feeds the status answer
// and shortens the loop's wait to the next delayed start.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zav::custody {

// Restarts counted per minute of the clock over the last hour: the same few
// bytes whatever the restart rate.
class RestartCounts {
 public:
  void Add(std::uint64_t nowMs);
  // The restarts in the minute of nowMs and the 59 before it.
  std::size_t InLastHour(std::uint64_t nowMs) const;

 private:
  static constexpr std::size_t kMinutes = 60;
  std::array<std::uint32_t, kMinutes> counts{};
  std::array<std::uint64_t, kMinutes> minutes{};  // the minute each count is of
};

// The earliest time any host needs the loop awake, kept as the times
// change, so that a wait does not look at every host.
class WakeTimes {
 public:
  void Set(const std::wstring& hostName, std::optional<std::uint64_t> dueMs);
  std::optional<std::uint64_t> Earliest() const;

 private:
  std::map<std::wstring, std::uint64_t> dueByHost;
  std::set<std::pair<std::uint64_t, std::wstring>> hostsByDue;
};

struct HostRun {
  std::uint32_t processId = 0;
  std::uint64_t startedMs = 0;  // the clock's time, for the back-off
  std::uint64_t startedWallMs = 0;
  std::optional<std::uint64_t> endedWallMs;
  std::optional<std::uint64_t> endSeenMs;  // the clock's time the end was seen, before the pass took it
  std::optional<std::uint32_t> exitCode;   // none while it runs, or when it cannot be read
  std::wstring reason;                     // why it ended ("exited", "killed by SIGSEGV" ...), when known
  bool adopted = false;                    // taken over from an earlier service, not started
  RestartCounts restarts;
  unsigned quickExits = 0;  // runs in a row that ended within kQuickExitMs, as the back-off counts them
  unsigned quickRuns = 0;   // the same, counted with the back-off off too
  bool crashLooping = false;
  std::optional<std::uint64_t> nextStartMs;
  std::optional<std::uint32_t> failedWith;  // the error of the last start, when it failed
  std::uint64_t failedMs = 0;

  bool HasStarted() const { return startedWallMs != 0; }
  bool Runs() const { return HasStarted() && !endedWallMs && !endSeenMs; }
};

inline constexpr std::uint64_t kQuickExitMs = 10 * 1000;
inline constexpr std::uint64_t kSteadyRunMs = 10 * 60 * 1000;
inline constexpr std::uint32_t kLongestBackOffMs = 5 * 60 * 1000;
inline constexpr std::uint32_t kStartIntervalMs = 1000;
// A host crash-loops once this many runs in a row ended within
// kQuickExitMs, and has recovered once a run has then lasted kRecoveryRunMs.
inline constexpr unsigned kCrashLoopRuns = 5;
inline constexpr std::uint64_t kRecoveryRunMs = 60 * 1000;

// How long a host that ran runMs waits before it is started again. A run of
// kQuickExitMs or more starts again at once, one of kSteadyRunMs clears the
// count of quick exits; the first quick exit also starts again at once, the
// next ones wait 1 s, 2 s, 4 s ... up to kLongestBackOffMs.
std::uint32_t RestartDelay(std::uint64_t runMs, unsigned& quickExits);

class HostRuns {
 public:
  // restartBackOff: hosts that keep ending at once wait longer and longer;
  // spaceStarts: no host starts more than once per kStartIntervalMs.
  HostRuns(bool restartBackOff, bool spaceStarts) : backOff(restartBackOff), spaced(spaceStarts) {}

  void Started(const std::wstring& hostName, std::uint32_t processId, bool adopted);
  struct End {
    std::uint64_t ranMs = 0;
    std::uint32_t delayMs = 0;    // before the host may start again; 0: at once
    bool crashLoopBegan = false;  // this end made the host crash-looping
  };
  // A run is timed to its end as seen, when it was, else to now.
  End Ended(const std::wstring& hostName, std::optional<std::uint32_t> exitCode, const std::wstring& reason = {});
  // The crash-looping hosts whose run has now lasted kRecoveryRunMs: they
  // crash-loop no longer.
  std::vector<std::wstring> TakeRecovered();
  // Notes the time of a host's end as it happens, before a pass takes it.
  void EndSeen(const std::wstring& hostName);
  bool IsEndSeen(const std::wstring& hostName) const;
  // A delayed start that fails is tried again later, not in a loop: with the
  // back-off it counts as a quick exit, else it waits for the next
  // application of the policy, as any failed start does; and no failed
  // start is tried again within kStartIntervalMs. True when the failure is
  // to be said: the first since the host last started, or another error.
  bool StartFailed(const std::wstring& hostName, std::uint32_t error);
  // False within kStartIntervalMs of a failed start.
  bool MayTryStart(const std::wstring& hostName) const;
  // Stops asked for never count: a host removed and named again starts afresh.
  void Forget(const std::wstring& hostName);

  const HostRun* Find(const std::wstring& hostName) const;
  // For tests: the hosts whose runs were looked up, in the module's life.
  std::uint64_t Looks() const { return looks; }
  // How long the host's last run lasted: to its end as seen, else to now.
  std::uint64_t RanMs(const std::wstring& hostName) const;
  bool IsBackingOff(const std::wstring& hostName) const;
  bool AnyStartDue() const;
  // The time until the next delayed start or recovery, at most longestMs.
  std::uint32_t WaitMs(std::uint32_t longestMs) const;
  std::size_t RestartsInLastHour(const HostRun& run) const;

 private:
  bool AnyWakeDue(std::uint64_t nowMs) const;
  // The run's next delayed start or recovery, after each change to it.
  void Reindex(const std::wstring& hostName, const HostRun& run);

  bool backOff;
  bool spaced;
  std::map<std::wstring, HostRun> runs;
  WakeTimes wakes;
  std::set<std::wstring> endsSeen;  // few at any time: a walk asks of each host
  mutable std::uint64_t looks = 0;
};

}  // namespace zav::custody
