#pragma once
// A clock whose time passes only when the code under test sleeps or waits:
// sleeps return at once, timed waits become polls.

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "xplat/clock.h"

namespace testing_support {

class FakeClock final : public xplat::Clock {
 public:
  FakeClock() : previous(xplat::InstallClock(this)) {}
  ~FakeClock() override { xplat::InstallClock(previous); }

  // Runs on the sleeping thread during each sleep, for a test to act while
  // the code under test waits.
  std::function<void(std::uint32_t)> onSleep;

  std::uint64_t NowMs() override {
    std::lock_guard<std::mutex> lock(mutex);
    return now;
  }
  void Sleep(std::uint32_t ms) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      sleeps.push_back(ms);
      now += ms;
    }
    if (onSleep) onSleep(ms);
  }
  bool TimedWait(std::uint32_t ms, const std::function<bool(std::uint32_t)>& wait) override {
    if (wait(0)) return true;
    std::lock_guard<std::mutex> lock(mutex);
    timedOutWaits.push_back(ms);
    now += ms;
    return false;
  }

  std::vector<std::uint32_t> Sleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
  }
  std::vector<std::uint32_t> TimedOutWaits() {
    std::lock_guard<std::mutex> lock(mutex);
    return timedOutWaits;
  }

 private:
  xplat::Clock* previous;
  std::mutex mutex;
  std::uint64_t now = 0;
  std::vector<std::uint32_t> sleeps;
  std::vector<std::uint32_t> timedOutWaits;
};

}  // namespace testing_support
