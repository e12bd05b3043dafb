// Children are spawned without a shell and held by a pidfd, so a process id
// reused after the child is gone can never be mistaken for it. A child is
// reaped exactly once, by the first look that finds it ended, and its exit
// code is remembered from then on.

#include "xplat/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "xplat/clock.h"
#include "xplat/posix/child_limits.h"
#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/poll_readable.h"
#include "xplat/posix/process_handle_impl.h"
#include "xplat/posix/spawn_placement.h"
#include "xplat/process_wait.h"
#include "xplat/text.h"

namespace xplat {

namespace {

// A child starts with no blocked signals and every action at its default,
// whatever this process set up for itself, as a new Windows process would.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool leadsSession) {
    ::posix_spawnattr_init(&attributes);
    sigset_t signals;
    ::sigemptyset(&signals);
    ::posix_spawnattr_setsigmask(&attributes, &signals);
    ::sigfillset(&signals);
    ::posix_spawnattr_setsigdefault(&attributes, &signals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (leadsSession) flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(&attributes, flags);
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  const posix_spawnattr_t* Get() const { return &attributes; }

 private:
  posix_spawnattr_t attributes;
};

// posix_spawn reports a failed exec as its result, so a missing or
// unrunnable image is a failure here, never a child that exits with 127.
std::vector<char*> ArgumentVector(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

bool Spawn(const std::vector<std::string>& arguments, bool leadsSession, pid_t& pid) {
  std::vector<char*> argv = ArgumentVector(arguments);
  const SpawnAttributes attributes(leadsSession);
  const int error = ::posix_spawn(&pid, argv[0], nullptr, attributes.Get(), argv.data(), environ);
  errno = error;
  return error == 0;
}

// A program starts with the limits it would have had had this process never
// raised its own: clone sets them in the child before its exec, posix_spawn
// cannot. Where clone is refused, posix_spawn starts it with these limits.
bool StartsByClone() { return ChildOpenFileLimit() != 0 && CanCloneIntoControlGroup() && CloneRefusal() == 0; }

PlacedStart PlacedStartOf(CloneOutcome outcome) {
  switch (outcome) {
    case CloneOutcome::Started:
      return PlacedStart::Started;
    case CloneOutcome::GroupGone:
      return PlacedStart::GroupGone;
    case CloneOutcome::Refused:
      return PlacedStart::Refused;
    case CloneOutcome::GroupRefused:
      return PlacedStart::GroupRefused;
    case CloneOutcome::TimedOut:
      return PlacedStart::TimedOut;
    case CloneOutcome::Failed:
      break;
  }
  return PlacedStart::Failed;
}

void KillAndReap(pid_t pid) {
  const int saved = errno;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  errno = saved;
}

}  // namespace

bool HeldZombie::ReadEnd(siginfo_t& info) {
  const std::lock_guard<std::mutex> lock(mutex);
  return ReadEndLocked(info);
}

bool HeldZombie::ReadEndLocked(siginfo_t& info) {
  if (!end) {
    siginfo_t read{};
    const int options = WEXITED | WNOHANG | (released ? 0 : WNOWAIT);
    if (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &read, options) != 0) return false;
    info = read;
    if (read.si_pid == 0) return true;
    end = read;
    reaped = released;
    return true;
  }
  if (released && !reaped) {
    siginfo_t ignored{};
    reaped = ::waitid(P_PIDFD, static_cast<id_t>(pidfd), &ignored, WEXITED | WNOHANG) == 0 && ignored.si_pid != 0;
  }
  info = *end;
  return true;
}

bool HeldZombie::HasEnded() {
  const std::lock_guard<std::mutex> lock(mutex);
  return PollReadable(pidfd, 0) == PollResult::Ready;
}

void HeldZombie::Release() {
  const std::lock_guard<std::mutex> lock(mutex);
  released = true;
  siginfo_t info{};
  ReadEndLocked(info);
  kept.Close();
}

void HeldZombie::KeepDescriptor(FileDescriptor handlePidFd) {
  const std::lock_guard<std::mutex> lock(mutex);
  if (!released) kept = std::move(handlePidFd);
}

ProcessHandle::Impl::~Impl() {
  if (watcher) watcher->Forget(serial, pidfd.Get());
  // An ended child is reaped now rather than left a zombie; a running one goes on.
  std::lock_guard<std::mutex> lock(mutex);
  ReapIfEnded();
  if (zombie) zombie->KeepDescriptor(std::move(pidfd));
}

// False only when the state cannot be read; a running child stays unreaped.
// Only a child's end can be read, and a supervisor reaps a child of this
// process as its starter would (one an earlier module started here, taken
// over). Of any other process a supervisor knows that it runs; once it has
// ended, its code is unknown.
bool ProcessHandle::Impl::ReapIfEnded() {
  if (reaped) return true;
  if (role == ProcessRole::Waiter) {
    errno = EACCES;
    return false;
  }
  // A pidfd turns readable when its process ends: a running one needs no
  // wait, which looks through every child of this process.
  if (PollReadable(pidfd.Get(), 0) == PollResult::TimedOut) return true;
  siginfo_t info{};
  const bool read =
      zombie ? zombie->ReadEnd(info) : ::waitid(P_PIDFD, static_cast<id_t>(pidfd.Get()), &info, WEXITED | WNOHANG) == 0;
  if (!read) {
    const int error = errno;
    if (error != ECHILD || role != ProcessRole::Supervisor) return false;
    errno = error;
    return PollReadable(pidfd.Get(), 0) == PollResult::TimedOut;
  }
  if (info.si_pid == 0) return true;
  reaped = true;
  exitCode = ExitCodeOf(info);
  exit.code = exitCode;
  exit.signal = info.si_code == CLD_EXITED ? 0 : info.si_status;
  exit.coreDumped = info.si_code == CLD_DUMPED;
  exit.endedHere = requestedExitCode && info.si_code != CLD_EXITED && info.si_status == SIGKILL;
  return true;
}

std::uint32_t ProcessHandle::Impl::ExitCodeOf(const siginfo_t& info) const {
  if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status);
  if (requestedExitCode && info.si_status == SIGKILL) return *requestedExitCode;
  return 128 + static_cast<std::uint32_t>(info.si_status);
}

ProcessHandle::ProcessHandle() = default;
ProcessHandle::~ProcessHandle() = default;
ProcessHandle::ProcessHandle(ProcessHandle&&) noexcept = default;
ProcessHandle& ProcessHandle::operator=(ProcessHandle&&) noexcept = default;

bool ProcessHandle::GetExitCode(std::uint32_t& code) const {
  if (!impl) {
    errno = EBADF;
    return false;
  }
  std::lock_guard<std::mutex> lock(impl->mutex);
  if (!impl->ReapIfEnded()) return false;
  code = impl->exitCode;
  return true;
}

bool ProcessHandle::GetExit(ProcessExit& exit) const {
  std::uint32_t code = 0;
  if (!GetExitCode(code)) return false;
  if (code == kStillActive) {
    errno = EBUSY;
    return false;
  }
  exit = impl->exit;
  return true;
}

// Linux codes have 8 bits: kStillActive is never a real one.
bool ProcessHandle::GetExitCode(std::uint32_t& code, bool& ended) const {
  if (!GetExitCode(code)) return false;
  ended = code != kStillActive;
  return true;
}

bool ProcessHandle::WaitForExit(std::uint32_t ms) const {
  if (!impl) {
    errno = EBADF;
    return false;
  }
  const int fd = impl->pidfd.Get();
  return CurrentClock().TimedWait(
      ms, [fd](std::uint32_t timeout) { return PollReadable(fd, timeout) == PollResult::Ready; });
}

bool ProcessHandle::Terminate(std::uint32_t exitCode) const {
  if (!impl) {
    errno = EBADF;
    return false;
  }
  std::lock_guard<std::mutex> lock(impl->mutex);
  // One that has ended keeps its own end, even one killed from elsewhere.
  if (impl->reaped || PollReadable(impl->pidfd.Get(), 0) == PollResult::Ready) {
    errno = ESRCH;
    return false;
  }
  if (::pidfd_send_signal(impl->pidfd.Get(), SIGKILL, nullptr, 0) != 0) return false;
  impl->requestedExitCode = exitCode;
  return true;
}

void ProcessHandle::Close() { impl.reset(); }

void ThreadHandle::Close() { handle = nullptr; }

const std::size_t kProcessWaitGroupSize = 1;

WaitAllResult WaitForProcessGroup(const ProcessHandle* const* group, std::size_t count, std::uint32_t ms) {
  const int fd = ProcessAccess::PidFd(*group[0]);
  PollResult result = PollResult::TimedOut;
  CurrentClock().TimedWait(
      ms, [&](std::uint32_t timeout) { return (result = PollReadable(fd, timeout)) == PollResult::Ready; });
  if (result == PollResult::Ready) return WaitAllResult::AllEnded;
  return result == PollResult::Failed ? WaitAllResult::Failed : WaitAllResult::TimedOut;
}

bool StartProgram(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  return StartPlacedProgram(image, arguments, SpawnPlacement(), started) == PlacedStart::Started;
}

PlacedStart StartPlacedProgram(const std::wstring& image, const std::wstring& arguments,
                               const SpawnPlacement& placement, StartedProcess& started) {
  std::vector<std::string> argv{ToUtf8(image)};
  for (const std::wstring& argument : SplitArguments(arguments)) argv.push_back(ToUtf8(argument));
  pid_t pid = 0;
  FileDescriptor pidfd;
  const bool intoGroup = placement.controlGroup >= 0;
  CloneOutcome cloned = CloneOutcome::Refused;  // as where clone3 itself is refused
  if (intoGroup || StartsByClone()) {
    cloned = CloneProgram(ArgumentVector(argv).data(), placement.controlGroup, intoGroup || placement.leadsSession, pid,
                          pidfd);
    if (intoGroup && cloned != CloneOutcome::Started) return PlacedStartOf(cloned);
  }
  if (cloned == CloneOutcome::Refused) {
    if (!Spawn(argv, placement.leadsSession, pid)) return PlacedStart::Failed;
    pidfd = FileDescriptor(::pidfd_open(pid, 0));
  } else if (cloned != CloneOutcome::Started) {
    return PlacedStart::Failed;
  }
  if (!pidfd) {
    KillAndReap(pid);
    return PlacedStart::Failed;
  }
  started.process = ProcessAccess::Wrap(std::move(pidfd), ProcessRole::Starter);
  started.thread = ThreadHandle();
  started.processId = static_cast<std::uint32_t>(pid);
  started.threadId = static_cast<std::uint32_t>(pid);
  return PlacedStart::Started;
}

namespace {

ProcessHandle OpenProcess(std::uint32_t processId, ProcessRole role) {
  if (processId == 0) {
    errno = ESRCH;
    return ProcessHandle();
  }
  FileDescriptor pidfd(::pidfd_open(static_cast<pid_t>(processId), 0));
  if (!pidfd) return ProcessHandle();
  return ProcessAccess::Wrap(std::move(pidfd), role);
}

}  // namespace

ProcessHandle OpenProcessForWaiting(std::uint32_t processId) { return OpenProcess(processId, ProcessRole::Waiter); }

ProcessHandle OpenProcessToSupervise(std::uint32_t processId) {
  return OpenProcess(processId, ProcessRole::Supervisor);
}

bool TerminateProcessById(std::uint32_t processId, std::uint32_t exitCode) {
  // Through a pidfd: id 0 names no process here, where kill() would take it
  // for the caller's whole process group.
  FileDescriptor pidfd(::pidfd_open(static_cast<pid_t>(processId), 0));
  return pidfd && ::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0) == 0;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace xplat
