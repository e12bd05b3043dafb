#include "xplat/clock.h"

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>

namespace xplat {
namespace {

class SystemClock final : public Clock {
 public:
  std::uint64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  // An interruption point of Boost.Thread, so a hosting thread can cut it short.
  void Sleep(std::uint32_t ms) override { boost::this_thread::sleep(boost::posix_time::milliseconds(ms)); }
  bool TimedWait(std::uint32_t ms, const std::function<bool(std::uint32_t)>& wait) override { return wait(ms); }
};

SystemClock systemClock;
std::atomic<Clock*> current{&systemClock};

}  // namespace

Clock& CurrentClock() { return *current.load(std::memory_order_acquire); }

Clock* InstallClock(Clock* clock) {
  Clock* previous = current.exchange(clock ? clock : &systemClock, std::memory_order_acq_rel);
  return previous == &systemClock ? nullptr : previous;
}

}  // namespace xplat
