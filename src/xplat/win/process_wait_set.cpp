#include "xplat/process_wait_set.h"

#include <windows.h>

#include <map>

#include "xplat/clock.h"
#include "xplat/win/handle.h"
#include "xplat/win/process_handle_impl.h"
#include "xplat/win/win_event_signal.h"

namespace xplat {
namespace {

// One kernel wait takes 64 objects: the signal, the event the registered
// waits set, and 62 processes.
constexpr std::size_t kDirectProcesses = MAXIMUM_WAIT_OBJECTS - 2;

VOID CALLBACK OnProcessEnded(PVOID event, BOOLEAN /*timedOut*/) { ::SetEvent(static_cast<HANDLE>(event)); }

struct Watched {
  Handle duplicate;
  HANDLE registeredWait = nullptr;  // beyond the direct ones: a thread-pool wait
};

}  // namespace

struct ProcessWaitSet::Impl {
  explicit Impl(WinEventSignal& waitSignal)
      : signal(waitSignal), processEnded(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

  bool Add(std::uint64_t serial, const ProcessHandle& process) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ProcessAccess::Of(process), ::GetCurrentProcess(), &duplicate,
                           SYNCHRONIZE, FALSE, 0)) {
      return false;
    }
    Watched entry{Handle(duplicate)};
    if (DirectCount() >= kDirectProcesses &&
        !::RegisterWaitForSingleObject(&entry.registeredWait, duplicate, OnProcessEnded, processEnded.Get(), INFINITE,
                                       WT_EXECUTEONLYONCE)) {
      return false;
    }
    watched.emplace(serial, std::move(entry));
    return true;
  }

  // The registered wait is undone, its callback finished, before the
  // duplicate closes.
  void Remove(std::map<std::uint64_t, Watched>::iterator entry) {
    if (entry->second.registeredWait) ::UnregisterWaitEx(entry->second.registeredWait, INVALID_HANDLE_VALUE);
    watched.erase(entry);
  }

  std::size_t DirectCount() const {
    std::size_t count = 0;
    for (const auto& [serial, entry] : watched) count += entry.registeredWait == nullptr;
    return count;
  }

  // The one direct process whose end a wait reports is told by its index;
  // an end seen by a registered wait says nothing of which it was.
  Woken WaitOnce(std::uint32_t ms) {
    std::vector<HANDLE> handles{signal.NativeHandle(), processEnded.Get()};
    std::vector<std::uint64_t> serials{0, 0};
    for (const auto& [serial, entry] : watched) {
      if (entry.registeredWait) continue;
      handles.push_back(entry.duplicate.Get());
      serials.push_back(serial);
    }
    const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
    ended.clear();
    if (result == WAIT_OBJECT_0) return Woken::Signal;
    if (result > WAIT_OBJECT_0 + 1 && result < WAIT_OBJECT_0 + handles.size()) ended.push_back(serials[result]);
    if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size()) return Woken::ProcessEnded;
    return result == WAIT_TIMEOUT ? Woken::TimedOut : Woken::Failed;
  }

  WinEventSignal& signal;
  Handle processEnded;
  std::map<std::uint64_t, Watched> watched;  // serial -> duplicate handle
  std::vector<std::uint64_t> ended;          // the serials the last wait saw end
};

ProcessWaitSet::ProcessWaitSet(EventSignal& signal)
    : impl(std::make_unique<Impl>(static_cast<WinEventSignal&>(signal))) {}

ProcessWaitSet::~ProcessWaitSet() {
  while (!impl->watched.empty()) impl->Remove(impl->watched.begin());
}

bool ProcessWaitSet::Usable() const { return impl->processEnded && impl->signal.NativeHandle(); }

std::vector<std::uint64_t> ProcessWaitSet::WatchedSerials() const {
  std::vector<std::uint64_t> serials;
  for (const auto& [serial, entry] : impl->watched) serials.push_back(serial);
  return serials;
}

bool ProcessWaitSet::AddWatch(std::uint64_t serial, const ProcessHandle& process) { return impl->Add(serial, process); }

bool ProcessWaitSet::IsWatched(std::uint64_t serial) const { return impl->watched.count(serial) != 0; }

void ProcessWaitSet::RemoveWatch(std::uint64_t serial) { impl->Remove(impl->watched.find(serial)); }

std::uint64_t ProcessWaitSet::SerialOf(const ProcessHandle& process) { return ProcessAccess::Serial(process); }

std::size_t ProcessWaitSet::WatchedCount() const { return impl->watched.size(); }

std::vector<std::uint64_t> ProcessWaitSet::EndedSerials() const { return impl->ended; }

// The event the registered waits set is set again for the wait to see.
bool ProcessWaitSet::AnyEnded() const {
  if (!Usable()) return false;
  std::vector<HANDLE> handles{impl->processEnded.Get()};
  for (const auto& [serial, entry] : impl->watched) {
    if (!entry.registeredWait) handles.push_back(entry.duplicate.Get());
  }
  const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 0);
  if (result == WAIT_OBJECT_0) ::SetEvent(impl->processEnded.Get());
  return result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size();
}

ProcessWaitSet::Woken ProcessWaitSet::Wait(std::uint32_t ms) {
  if (!Usable()) return Woken::Failed;
  Woken woken = Woken::TimedOut;
  impl->ended.clear();
  CurrentClock().TimedWait(ms, [&](std::uint32_t timeout) {
    woken = impl->WaitOnce(timeout);
    return woken != Woken::TimedOut;
  });
  return woken;
}

}  // namespace xplat
