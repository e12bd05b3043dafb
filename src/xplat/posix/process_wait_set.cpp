#include "xplat/process_wait_set.h"

#include <fcntl.h>
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <map>

#include "xplat/clock.h"
#include "xplat/posix/posix_event_signal.h"
#include "xplat/posix/process_handle_impl.h"

namespace xplat {
namespace {

constexpr std::uint64_t kSignalKey = 0;  // process serials start at 1
constexpr int kEventsPerWait = 16;

int TimeoutOf(std::uint32_t ms) {
  return ms == kInfinite ? -1 : static_cast<int>(std::min<std::uint32_t>(ms, INT_MAX));
}

}  // namespace

struct ProcessWaitSet::Impl {
  explicit Impl(PosixEventSignal& waitSignal) : signal(waitSignal), epoll(::epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kSignalKey;
    if (epoll && ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, signal.Descriptor(), &event) != 0) epoll.Close();
  }

  bool Add(const ProcessHandle& process) {
    const std::uint64_t serial = ProcessAccess::Serial(process);
    FileDescriptor duplicate(::fcntl(ProcessAccess::PidFd(process), F_DUPFD_CLOEXEC, 0));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = serial;
    if (!duplicate || ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, duplicate.Get(), &event) != 0) return false;
    watched.emplace(serial, std::move(duplicate));
    return true;
  }

  // The duplicate leaves the epoll set before it closes.
  void Remove(std::map<std::uint64_t, FileDescriptor>::iterator entry) {
    ::epoll_ctl(epoll.Get(), EPOLL_CTL_DEL, entry->second.Get(), nullptr);
    watched.erase(entry);
  }

  Woken WaitOnce(std::uint32_t ms) {
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(epoll.Get(), events, kEventsPerWait, TimeoutOf(ms));
    if (count < 0) return errno == EINTR ? Woken::TimedOut : Woken::Failed;
    bool signalled = false;
    bool processEnded = false;
    for (int i = 0; i < count; ++i) (events[i].data.u64 == kSignalKey ? signalled : processEnded) = true;
    if (signalled && signal.Consume()) return Woken::Signal;
    return processEnded ? Woken::ProcessEnded : Woken::TimedOut;
  }

  PosixEventSignal& signal;
  FileDescriptor epoll;
  std::map<std::uint64_t, FileDescriptor> watched;  // serial -> duplicate pidfd
};

ProcessWaitSet::ProcessWaitSet(EventSignal& signal)
    : impl(std::make_unique<Impl>(static_cast<PosixEventSignal&>(signal))) {}

ProcessWaitSet::~ProcessWaitSet() {
  while (!impl->watched.empty()) impl->Remove(impl->watched.begin());
}

bool ProcessWaitSet::Usable() const { return static_cast<bool>(impl->epoll); }

std::vector<std::uint64_t> ProcessWaitSet::WatchedSerials() const {
  std::vector<std::uint64_t> serials;
  for (const auto& [serial, duplicate] : impl->watched) serials.push_back(serial);
  return serials;
}

bool ProcessWaitSet::AddWatch(std::uint64_t, const ProcessHandle& process) { return impl->Add(process); }

void ProcessWaitSet::RemoveWatch(std::uint64_t serial) { impl->Remove(impl->watched.find(serial)); }

std::uint64_t ProcessWaitSet::SerialOf(const ProcessHandle& process) { return ProcessAccess::Serial(process); }

std::size_t ProcessWaitSet::WatchedCount() const { return impl->watched.size(); }

ProcessWaitSet::Woken ProcessWaitSet::Wait(std::uint32_t ms) {
  if (!impl->epoll) return Woken::Failed;
  Woken woken = Woken::TimedOut;
  CurrentClock().TimedWait(ms, [&](std::uint32_t timeout) {
    // A wait cut short by a signal handler, or by a Set another waiter took,
    // goes on for what is left of it.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (std::uint32_t left = timeout;;) {
      woken = impl->WaitOnce(left);
      if (woken != Woken::TimedOut || timeout == 0) break;
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (timeout != kInfinite && rest.count() <= 0) break;
      if (timeout != kInfinite) left = static_cast<std::uint32_t>(rest.count());
    }
    return woken != Woken::TimedOut;
  });
  return woken;
}

}  // namespace xplat
