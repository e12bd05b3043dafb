#include "xplat/clock.h"

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <string>

#include "xplat/environment.h"

namespace xplat {
namespace {

// Where no fake clock can be installed (the module loaded as a library, or
// in a process of its own), CUSTODEX_TIME_DIVISOR makes every sleep and
// timed wait that many times shorter, and time that many times faster, so
// that tests and demos see waits of seconds pass in milliseconds.
std::uint32_t TimeDivisor() {
  static const std::uint32_t divisor = [] {
    try {
      const unsigned long value = std::stoul(ReadEnvironment(L"CUSTODEX_TIME_DIVISOR"));
      return value >= 1 && value <= 100000 ? static_cast<std::uint32_t>(value) : 1u;
    } catch (...) {
      return 1u;
    }
  }();
  return divisor;
}

std::uint32_t Shortened(std::uint32_t ms) { return ms == kInfinite ? ms : ms / TimeDivisor(); }

class SystemClock final : public Clock {
 public:
  std::uint64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() * TimeDivisor();
  }
  // An interruption point of Boost.Thread, so a hosting thread can cut it short.
  void Sleep(std::uint32_t ms) override { boost::this_thread::sleep(boost::posix_time::milliseconds(Shortened(ms))); }
  bool TimedWait(std::uint32_t ms, const std::function<bool(std::uint32_t)>& wait) override {
    return wait(Shortened(ms));
  }
};

SystemClock systemClock;
std::atomic<Clock*> current{&systemClock};

}  // namespace

std::uint64_t WallClockMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::uint32_t TimeLeftMs(std::uint64_t startMs, std::uint32_t ms) {
  if (ms == kInfinite) return kInfinite;
  const std::uint64_t spent = CurrentClock().NowMs() - startMs;
  return spent >= ms ? 0 : static_cast<std::uint32_t>(ms - spent);
}

Clock& CurrentClock() { return *current.load(std::memory_order_acquire); }

Clock* InstallClock(Clock* clock) {
  Clock* previous = current.exchange(clock ? clock : &systemClock, std::memory_order_acq_rel);
  return previous == &systemClock ? nullptr : previous;
}

}  // namespace xplat
