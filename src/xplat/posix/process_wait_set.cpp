#include "xplat/process_wait_set.h"

#include <sys/epoll.h>

#include <cerrno>
#include <map>
#include <optional>

#include "xplat/clock.h"
#include "xplat/posix/posix_event_signal.h"
#include "xplat/posix/process_handle_impl.h"
#include "xplat/posix/wait_for_rest.h"

namespace xplat {
namespace {

constexpr std::uint64_t kSignalKey = 0;  // process serials start at 1
constexpr int kEventsPerWait = 16;

}  // namespace

// The handles' own pidfds are in the epoll set, so a watched process costs
// no descriptor of its own; a handle tells the set before its pidfd closes.
// Watched handles close on the thread that waits.
struct ProcessWaitSet::Impl final : PidFdWatcher {
  explicit Impl(PosixEventSignal& waitSignal) : signal(waitSignal), epoll(::epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kSignalKey;
    if (epoll && ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, signal.Descriptor(), &event) != 0) epoll.Close();
  }
  ~Impl() {
    while (!watched.empty()) Remove(watched.begin()->first);
  }

  bool Add(const ProcessHandle& process) {
    ProcessHandle::Impl& handle = ProcessAccess::Of(process);
    if (handle.watcher) {  // by another set: each tells only one
      errno = EBUSY;
      return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = handle.serial;
    if (::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, handle.pidfd.Get(), &event) != 0) return false;
    handle.watcher = this;
    watched.emplace(handle.serial, &handle);
    return true;
  }

  void Remove(std::uint64_t serial) {
    const auto entry = watched.find(serial);
    entry->second->watcher = nullptr;
    Forget(serial, entry->second->pidfd.Get());
  }

  void Forget(std::uint64_t serial, int pidfd) override {
    ::epoll_ctl(epoll.Get(), EPOLL_CTL_DEL, pidfd, nullptr);
    watched.erase(serial);
  }

  // Nothing when the wait was cut short: by a signal handler, or by a Set
  // another waiter took.
  std::optional<Woken> WaitOnce(std::uint32_t ms) {
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(epoll.Get(), events, kEventsPerWait, PollTimeout(ms));
    if (count < 0) return errno == EINTR ? std::nullopt : std::optional<Woken>(Woken::Failed);
    if (count == 0) return Woken::TimedOut;
    bool signalled = false;
    ended.clear();
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == kSignalKey) {
        signalled = true;
      } else {
        ended.push_back(events[i].data.u64);
      }
    }
    if (signalled && signal.Consume()) return Woken::Signal;
    if (!ended.empty()) return Woken::ProcessEnded;
    return std::nullopt;
  }

  PosixEventSignal& signal;
  FileDescriptor epoll;
  std::map<std::uint64_t, ProcessHandle::Impl*> watched;  // by serial
  std::vector<std::uint64_t> ended;                       // the serials the last wait saw end
};

ProcessWaitSet::ProcessWaitSet(EventSignal& signal)
    : impl(std::make_unique<Impl>(static_cast<PosixEventSignal&>(signal))) {}

ProcessWaitSet::~ProcessWaitSet() = default;

bool ProcessWaitSet::Usable() const { return static_cast<bool>(impl->epoll); }

std::vector<std::uint64_t> ProcessWaitSet::WatchedSerials() const {
  std::vector<std::uint64_t> serials;
  for (const auto& [serial, handle] : impl->watched) serials.push_back(serial);
  return serials;
}

bool ProcessWaitSet::AddWatch(std::uint64_t, const ProcessHandle& process) { return impl->Add(process); }

bool ProcessWaitSet::IsWatched(std::uint64_t serial) const { return impl->watched.count(serial) != 0; }

void ProcessWaitSet::RemoveWatch(std::uint64_t serial) { impl->Remove(serial); }

std::uint64_t ProcessWaitSet::SerialOf(const ProcessHandle& process) { return ProcessAccess::Serial(process); }

std::size_t ProcessWaitSet::WatchedCount() const { return impl->watched.size(); }

std::vector<std::uint64_t> ProcessWaitSet::EndedSerials() const { return impl->ended; }

// epoll_wait only reports: the signal's eventfd is read by Wait alone.
bool ProcessWaitSet::AnyEnded() const {
  epoll_event events[kEventsPerWait];
  const int count = impl->epoll ? ::epoll_wait(impl->epoll.Get(), events, kEventsPerWait, 0) : 0;
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 != kSignalKey) return true;
  }
  return false;
}

ProcessWaitSet::Woken ProcessWaitSet::Wait(std::uint32_t ms) {
  if (!impl->epoll) return Woken::Failed;
  Woken woken = Woken::TimedOut;
  impl->ended.clear();
  CurrentClock().TimedWait(ms, [&](std::uint32_t timeout) {
    woken = WaitForRest(timeout, Woken::TimedOut, [this](std::uint32_t left) { return impl->WaitOnce(left); });
    return woken != Woken::TimedOut;
  });
  return woken;
}

}  // namespace xplat
