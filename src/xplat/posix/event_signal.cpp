#include <chrono>

#include "xplat/clock.h"
#include "xplat/posix/posix_event_signal.h"

namespace xplat {

void PosixEventSignal::Reset() {
  std::lock_guard<std::mutex> lock(mutex);
  signalled = false;
}

bool PosixEventSignal::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    signalled = true;
  }
  changed.notify_one();
  return true;
}

bool PosixEventSignal::Wait(std::uint32_t ms) {
  return CurrentClock().TimedWait(ms, [this](std::uint32_t timeout) { return WaitOnce(timeout); });
}

bool PosixEventSignal::WaitOnce(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex);
  auto isSet = [this] { return signalled; };
  if (ms == kInfinite) {
    changed.wait(lock, isSet);
  } else if (!changed.wait_for(lock, std::chrono::milliseconds(ms), isSet)) {
    return false;
  }
  signalled = false;  // automatic reset: this wait consumes the signal
  return true;
}

std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name) {
  return std::make_unique<PosixEventSignal>(name);
}

}  // namespace xplat
