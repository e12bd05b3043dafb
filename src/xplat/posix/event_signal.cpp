#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "xplat/clock.h"
#include "xplat/posix/poll_readable.h"
#include "xplat/posix/posix_event_signal.h"
#include "xplat/posix/wait_for_rest.h"

namespace xplat {

PosixEventSignal::PosixEventSignal(std::wstring name, FileDescriptor eventFd, ErrorCode creationError)
    : EventSignal(std::move(name), creationError), fd(std::move(eventFd)) {}

void PosixEventSignal::Reset() { Consume(); }

bool PosixEventSignal::Set() {
  if (!fd) return false;
  // A signal already set and not yet taken stays as it is: a burst of Sets
  // writes, and wakes the waiter, once.
  if (pending.exchange(true, std::memory_order_acq_rel)) return true;
  const std::uint64_t one = 1;
  for (;;) {
    if (::write(fd.Get(), &one, sizeof one) == sizeof one) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return true;  // the count is at its limit: the signal is set
    pending.store(false, std::memory_order_release);
    return false;
  }
}

bool PosixEventSignal::Consume() {
  std::uint64_t count = 0;
  for (;;) {
    if (!fd) return false;
    if (::read(fd.Get(), &count, sizeof count) == sizeof count) break;
    if (errno != EINTR) return false;
  }
  // Cleared only after the read: a Set between the two counts as made before
  // this wait returned. Cleared before it, the read could take a later write
  // while the signal stays marked, and no Set would write again.
  pending.exchange(false, std::memory_order_acq_rel);
  return true;
}

bool PosixEventSignal::Wait(std::uint32_t ms) {
  if (!fd) {
    return CurrentClock().TimedWait(ms, [](std::uint32_t timeout) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
      return false;
    });
  }
  return CurrentClock().TimedWait(ms, [this](std::uint32_t timeout) {
    return WaitForRest(timeout, false, [this](std::uint32_t left) -> std::optional<bool> {
      if (PollReadable(fd.Get(), left) != PollResult::Ready) return false;
      if (Consume()) return true;
      return std::nullopt;  // another waiter took the Set
    });
  });
}

namespace {

std::atomic<ErrorCode> refusedForTesting{0};

}  // namespace

void SetSignalCreationErrorForTesting(ErrorCode error) { refusedForTesting = error; }

std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name) {
  const ErrorCode refused = refusedForTesting;
  FileDescriptor fd(refused != 0 ? -1 : ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  const ErrorCode error = fd ? 0 : refused != 0 ? refused : static_cast<ErrorCode>(errno);
  return std::make_unique<PosixEventSignal>(name, std::move(fd), error);
}

}  // namespace xplat
