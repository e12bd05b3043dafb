#include "xplat/process_wait_set.h"

#include <fcntl.h>
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

  // Nothing when the wait was cut short: by a signal handler, or by a Set
  // another waiter took.
  std::optional<Woken> WaitOnce(std::uint32_t ms) {
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(epoll.Get(), events, kEventsPerWait, PollTimeout(ms));
    if (count < 0) return errno == EINTR ? std::nullopt : std::optional<Woken>(Woken::Failed);
    if (count == 0) return Woken::TimedOut;
    bool signalled = false;
    bool processEnded = false;
    for (int i = 0; i < count; ++i) (events[i].data.u64 == kSignalKey ? signalled : processEnded) = true;
    if (signalled && signal.Consume()) return Woken::Signal;
    if (processEnded) return Woken::ProcessEnded;
    return std::nullopt;
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
    woken = WaitForRest(timeout, Woken::TimedOut, [this](std::uint32_t left) { return impl->WaitOnce(left); });
    return woken != Woken::TimedOut;
  });
  return woken;
}

}  // namespace xplat
