#pragma once
// What a process handle holds on Linux, for the platform layer's own parts:
// a pidfd, and what was learnt of the child's end.

#include <signal.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "xplat/posix/file_descriptor.h"
#include "xplat/process.h"
#include "xplat/process_serial.h"

namespace xplat {

// The starter's handle reaps its child; one opened to supervise reads what
// the system tells without reaping; one opened to wait reads nothing.
enum class ProcessRole { Starter, Supervisor, Waiter };

// What watches a handle's pidfd (a wait set's epoll), told before it closes.
class PidFdWatcher {
 public:
  virtual void Forget(std::uint64_t serial, int pidfd) = 0;

 protected:
  ~PidFdWatcher() = default;
};

// The end of a process whose zombie its tree holds until its process group
// is empty (process_group_tree.h): read by its handle and its tree alike,
// whichever comes first, and reaped by the tree alone. It shares the
// handle's pidfd, and keeps it once the handle goes: a host costs one
// descriptor.
struct HeldZombie {
  explicit HeldZombie(int handlePidFd) : pidfd(handlePidFd) {}

  // The end, read without reaping while the tree holds it; si_pid 0 while
  // it runs. False when it cannot be read.
  bool ReadEnd(siginfo_t& info);
  // Whether the process has ended, its threads included.
  bool HasEnded();
  // The tree lets it go: reaped now if it has ended, else at its handle's
  // first read of its end.
  void Release();
  // The handle goes: its pidfd stays while the tree holds the zombie.
  void KeepDescriptor(FileDescriptor handlePidFd);

 private:
  bool ReadEndLocked(siginfo_t& info);

  std::mutex mutex;
  int pidfd;
  FileDescriptor kept;
  std::optional<siginfo_t> end;
  bool released = false;
  bool reaped = false;
};

struct ProcessHandle::Impl {
  Impl(FileDescriptor fd, ProcessRole processRole) : pidfd(std::move(fd)), role(processRole) {}
  ~Impl();

  bool ReapIfEnded();
  std::uint32_t ExitCodeOf(const siginfo_t& info) const;

  FileDescriptor pidfd;
  const ProcessRole role;
  const std::uint64_t serial = NextProcessSerial();
  std::mutex mutex;  // guards what follows
  bool reaped = false;                 // the end is read; reaped too unless its zombie is held
  std::shared_ptr<HeldZombie> zombie;  // set where the process's tree holds it
  std::uint32_t exitCode = kStillActive;
  ProcessExit exit;                                // once reaped
  std::optional<std::uint32_t> requestedExitCode;  // set by Terminate
  PidFdWatcher* watcher = nullptr;                 // the wait set that watches the pidfd itself
};

struct ProcessAccess {
  static ProcessHandle Wrap(FileDescriptor pidfd, ProcessRole role) {
    ProcessHandle process;
    process.impl = std::make_unique<ProcessHandle::Impl>(std::move(pidfd), role);
    return process;
  }
  static int PidFd(const ProcessHandle& process) { return process.impl->pidfd.Get(); }
  static std::uint64_t Serial(const ProcessHandle& process) { return process.impl->serial; }
  static ProcessHandle::Impl& Of(const ProcessHandle& process) { return *process.impl; }
};

}  // namespace xplat
