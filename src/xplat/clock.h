#pragma once
// The one seam for time. Every sleep and every timed kernel wait of the
// module goes through the current clock, so tests can swap in a fake clock
// and run a 30-second wait or twenty 1-second polls in no real time.

#include <cstdint>
#include <functional>

namespace xplat {

constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t NowMs() = 0;
  virtual void Sleep(std::uint32_t ms) = 0;
  // Runs a kernel wait: `wait(ms)` returns true when the awaited object was
  // signalled within ms. A fake clock polls with 0 instead and, when nothing
  // was signalled, lets its own time pass.
  virtual bool TimedWait(std::uint32_t ms, const std::function<bool(std::uint32_t)>& wait) = 0;
};

Clock& CurrentClock();
// Installs a clock for the whole process (null restores the system clock)
// and returns the one it replaces.
Clock* InstallClock(Clock* clock);

inline void Sleep(std::uint32_t ms) { CurrentClock().Sleep(ms); }

// What is left of a budget of ms (kInfinite: all of it) begun at startMs.
std::uint32_t TimeLeftMs(std::uint64_t startMs, std::uint32_t ms);

// Milliseconds since 1970, UTC: for what people read, never for waits.
std::uint64_t WallClockMs();

}  // namespace xplat
