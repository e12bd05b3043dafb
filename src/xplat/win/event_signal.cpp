#include <atomic>
#include <chrono>
#include <thread>

#include "xplat/clock.h"
#include "xplat/win/win_event_signal.h"

namespace xplat {

WinEventSignal::WinEventSignal(std::wstring name, Handle eventHandle, ErrorCode creationError)
    : EventSignal(std::move(name), creationError), event(std::move(eventHandle)) {}

void WinEventSignal::Reset() {
  if (event) ::ResetEvent(event.Get());
}

bool WinEventSignal::Set() { return event && ::SetEvent(event.Get()) != FALSE; }

bool WinEventSignal::Wait(std::uint32_t ms) {
  if (!event) {
    return CurrentClock().TimedWait(ms, [](std::uint32_t timeout) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
      return false;
    });
  }
  return CurrentClock().TimedWait(
      ms, [this](std::uint32_t timeout) { return ::WaitForSingleObject(event.Get(), timeout) == WAIT_OBJECT_0; });
}

namespace {

std::atomic<ErrorCode> refusedForTesting{0};

}  // namespace

void SetSignalCreationErrorForTesting(ErrorCode error) { refusedForTesting = error; }

std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name) {
  const ErrorCode refused = refusedForTesting;
  Handle event(refused != 0 ? nullptr : ::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  const ErrorCode error = event ? 0 : refused != 0 ? refused : ::GetLastError();
  return std::make_unique<WinEventSignal>(name, std::move(event), error);
}

}  // namespace xplat
