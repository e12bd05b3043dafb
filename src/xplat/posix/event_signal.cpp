#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "xplat/clock.h"
#include "xplat/posix/poll_readable.h"
#include "xplat/posix/posix_event_signal.h"

namespace xplat {
PosixEventSignal::PosixEventSignal(std::wstring name)
    : EventSignal(std::move(name)), fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void PosixEventSignal::Reset() { Consume(); }

bool PosixEventSignal::Set() {
  const std::uint64_t one = 1;
  for (;;) {
    if (!fd) return false;
    if (::write(fd.Get(), &one, sizeof one) == sizeof one) return true;
    if (errno != EINTR) return errno == EAGAIN;  // the count is at its limit: the signal is set
  }
}

bool PosixEventSignal::Consume() {
  std::uint64_t count = 0;
  for (;;) {
    if (!fd) return false;
    if (::read(fd.Get(), &count, sizeof count) == sizeof count) return true;
    if (errno != EINTR) return false;
  }
}

// Another waiter may take the Set between the poll and the read: then this
// wait goes on for what is left of its time.
bool PosixEventSignal::Wait(std::uint32_t ms) {
  if (!fd) return false;
  return CurrentClock().TimedWait(ms, [this](std::uint32_t timeout) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (std::uint32_t left = timeout; PollReadable(fd.Get(), left) == PollResult::Ready;) {
      if (Consume()) return true;
      if (timeout == kInfinite) continue;
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (rest.count() <= 0) return false;
      left = static_cast<std::uint32_t>(rest.count());
    }
    return false;
  });
}

std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name) {
  return std::make_unique<PosixEventSignal>(name);
}

}  // namespace xplat
