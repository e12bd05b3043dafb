#pragma once
// A clock for code that runs on a thread of its own: its sleeps pass at
// once, but its timed waits block until their object is signalled or the
// test moves the time past their end. The test sees which waits are pending,
// so it can assert how long the code waits, and a 30-second wait costs no
// more real time than the test gives it.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

#include "xplat/clock.h"

namespace testing_support {

class ManualClock final : public xplat::Clock {
 public:
  ManualClock() : previous(xplat::InstallClock(this)) {}
  ~ManualClock() override { xplat::InstallClock(previous); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  std::uint64_t NowMs() override {
    std::lock_guard<std::mutex> lock(mutex);
    return now;
  }
  void Sleep(std::uint32_t ms) override {
    std::lock_guard<std::mutex> lock(mutex);
    sleeps.push_back(ms);
    now += ms;
    changed.notify_all();
  }
  bool TimedWait(std::uint32_t ms, const std::function<bool(std::uint32_t)>& wait) override {
    if (wait(0)) return true;
    if (ms == 0) return false;
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t end = ms == xplat::kInfinite ? std::numeric_limits<std::uint64_t>::max() : now + ms;
    const Wait mine{++serial, ms};
    pending.push_back(mine);
    changed.notify_all();
    for (;;) {
      if (now >= end) {
        Forget(mine);
        endedWaits.push_back(ms);
        return false;
      }
      lock.unlock();
      const bool signalled = wait(kRealSliceMs);
      lock.lock();
      if (signalled) {
        Forget(mine);
        return true;
      }
    }
  }

  // A point in the sequence of waits, for AwaitWait.
  std::uint64_t Mark() {
    std::lock_guard<std::mutex> lock(mutex);
    return serial;
  }
  // Waits in real time (up to ten seconds) until some thread is in a timed
  // wait of ms that began after the mark; false when none comes.
  bool AwaitWait(std::uint32_t ms, std::uint64_t mark = 0) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::any_of(pending.begin(), pending.end(),
                         [&](const Wait& wait) { return wait.ms == ms && wait.serial > mark; });
    });
  }
  void Advance(std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex);
    now += ms;
  }
  // Lets a wait of ms that began after the mark run to its end.
  bool ElapseWait(std::uint32_t ms, std::uint64_t mark = 0) {
    if (!AwaitWait(ms, mark)) return false;
    Advance(ms);
    return true;
  }

  std::vector<std::uint32_t> Sleeps() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
  }
  // The waits that ran to their end, nothing having signalled them.
  std::vector<std::uint32_t> EndedWaits() {
    std::lock_guard<std::mutex> lock(mutex);
    return endedWaits;
  }

 private:
  static constexpr std::uint32_t kRealSliceMs = 2;

  struct Wait {
    std::uint64_t serial;
    std::uint32_t ms;
  };

  void Forget(const Wait& wait) {
    pending.erase(std::find_if(pending.begin(), pending.end(), [&](const Wait& w) { return w.serial == wait.serial; }));
    changed.notify_all();
  }

  xplat::Clock* previous;
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t now = 0;
  std::uint64_t serial = 0;
  std::vector<Wait> pending;
  std::vector<std::uint32_t> sleeps;
  std::vector<std::uint32_t> endedWaits;
};

}  // namespace testing_support
