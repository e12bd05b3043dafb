#include "xplat/posix/clone_into_cgroup.h"

#include <linux/futex.h>
#include <linux/sched.h>
#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "xplat/posix/child_limits.h"

namespace xplat {
namespace {

constexpr std::size_t kChildStackBytes = 64 * 1024;

std::atomic<int> testRefusal{0};
std::atomic<int> refusal{0};

// Only clone3 itself missing or too new for the kernel speaks for every
// group; any other error is the group's own.
CloneOutcome OutcomeOf(int error) {
  if (error == ENOENT || error == ENODEV) return CloneOutcome::GroupGone;
  if (error == EAGAIN || error == ENOMEM) return CloneOutcome::Failed;
  if (error == ENOSYS || error == E2BIG) {
    refusal = error;
    return CloneOutcome::Refused;
  }
  return CloneOutcome::GroupRefused;
}

// What the child uses, on the heap: the caller goes on while it runs, and
// an abandoned child that does not end keeps it.
struct ChildMemory {
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  bool leadsSession = true;
  rlim_t openFileLimit = 0;  // 0: as the caller's
  long execError = 0;
  // 1 until the child execs or exits: the kernel then clears it and wakes
  // a futex wait on it (CLONE_CHILD_CLEARTID).
  alignas(4) std::int32_t running = 1;
  alignas(16) unsigned char stack[kChildStackBytes];
};

std::int32_t LoadRunning(const ChildMemory& memory) { return __atomic_load_n(&memory.running, __ATOMIC_ACQUIRE); }

// Children ended after their start was abandoned whose end has not come yet.
struct Abandoned {
  FileDescriptor pidfd;
  std::unique_ptr<ChildMemory> memory;
};
std::mutex abandonedMutex;
std::vector<Abandoned> abandoned;

void ReapAbandoned() {
  const std::lock_guard<std::mutex> lock(abandonedMutex);
  for (auto child = abandoned.begin(); child != abandoned.end();) {
    siginfo_t info{};
    const bool gone = LoadRunning(*child->memory) == 0 &&
                      ::waitid(P_PIDFD, static_cast<id_t>(child->pidfd.Get()), &info, WEXITED | WNOHANG) == 0 &&
                      info.si_pid != 0;
    child = gone ? abandoned.erase(child) : child + 1;
  }
}

long NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// True once the child has exec'd or exited, within ms.
bool AwaitExec(ChildMemory& memory, long ms) {
  const long deadline = NowMs() + ms;
  for (long left = ms; LoadRunning(memory) != 0; left = deadline - NowMs()) {
    if (left <= 0) return false;
    const timespec timeout{left / 1000, (left % 1000) * 1000000L};
    ::syscall(SYS_futex, &memory.running, FUTEX_WAIT, 1, &timeout, nullptr, 0);
  }
  return true;
}

}  // namespace

void SetCloneRefusalForTesting(int error) {
  testRefusal = error;
  refusal = 0;
}

int CloneRefusal() { return refusal; }

}  // namespace xplat

#if defined(__x86_64__)

// clone3(args, size), then in the child fn(arg) on the stack the arguments
// name, and exit with its result; the parent gets clone3's result.
extern "C" long custodex_clone3_run(clone_args* args, std::size_t size, int (*fn)(void*), void* arg);
__asm__(
    ".pushsection .text\n"
    ".globl custodex_clone3_run\n"
    ".type custodex_clone3_run, @function\n"
    "custodex_clone3_run:\n"
    "  .cfi_startproc\n"
    "  push %r12\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  .cfi_rel_offset %r12, 0\n"
    "  push %r13\n"
    "  .cfi_adjust_cfa_offset 8\n"
    "  .cfi_rel_offset %r13, 0\n"
    "  mov %rdx, %r12\n"
    "  mov %rcx, %r13\n"
    "  mov $435, %eax\n"  // __NR_clone3
    "  syscall\n"
    "  test %rax, %rax\n"
    "  .cfi_remember_state\n"
    "  jnz 1f\n"
    "  .cfi_undefined %rip\n"  // the child's stack has no caller
    "  xor %ebp, %ebp\n"
    "  mov %r13, %rdi\n"
    "  call *%r12\n"
    "  mov %eax, %edi\n"
    "  mov $60, %eax\n"  // __NR_exit
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  .cfi_restore_state\n"
    "  pop %r13\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  pop %r12\n"
    "  .cfi_adjust_cfa_offset -8\n"
    "  ret\n"
    "  .cfi_endproc\n"
    ".size custodex_clone3_run, .-custodex_clone3_run\n"
    ".popsection\n");

namespace xplat {
namespace {

// The child runs beside its parent's thread on that thread's memory: it
// makes raw system calls only, which touch no errno or other state of the
// parent's, and no sanitizer's run-time runs in it.
#define CUSTODEX_CHILD_CODE __attribute__((no_sanitize("address", "undefined"), no_stack_protector))
CUSTODEX_CHILD_CODE long RawSyscall(long number, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0) {
  long result;
  register long r10 __asm__("r10") = a4;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10)
                   : "rcx", "r11", "memory");
  return result;
}

struct KernelSigaction {
  unsigned long handler = 0;  // SIG_DFL
  unsigned long flags = 0;
  unsigned long restorer = 0;
  unsigned long mask = 0;
};

CUSTODEX_CHILD_CODE int ExecInChild(void* raw) {
  auto* child = static_cast<ChildMemory*>(raw);
  const KernelSigaction defaultAction;
  const unsigned long none = 0;
  for (long signal = 1; signal <= 64; ++signal) {
    RawSyscall(SYS_rt_sigaction, signal, reinterpret_cast<long>(&defaultAction), 0, sizeof none);
  }
  RawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, sizeof none);
  rlimit limit{};
  if (child->openFileLimit != 0 &&
      RawSyscall(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, reinterpret_cast<long>(&limit)) == 0 &&
      limit.rlim_cur > child->openFileLimit) {
    limit.rlim_cur = child->openFileLimit;
    RawSyscall(SYS_prlimit64, 0, RLIMIT_NOFILE, reinterpret_cast<long>(&limit));
  }
  if (child->leadsSession) RawSyscall(SYS_setsid);
  const long result = RawSyscall(SYS_execve, reinterpret_cast<long>(child->argv[0]),
                                 reinterpret_cast<long>(child->argv), reinterpret_cast<long>(child->envp));
  child->execError = -result;
  return 127;
}

// A child that never ran its program is ended; its memory is freed only
// once it has gone.
CloneOutcome Abandon(std::unique_ptr<ChildMemory> memory, FileDescriptor pidfd) {
  ::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0);
  siginfo_t info{};
  if (!AwaitExec(*memory, kStartBoundMs) || ::waitid(P_PIDFD, static_cast<id_t>(pidfd.Get()), &info, WEXITED) != 0) {
    const std::lock_guard<std::mutex> lock(abandonedMutex);
    abandoned.push_back(Abandoned{std::move(pidfd), std::move(memory)});
  }
  errno = ETIMEDOUT;
  return CloneOutcome::TimedOut;
}

}  // namespace

bool CanCloneIntoControlGroup() { return true; }

CloneOutcome CloneProgram(char* const* argv, int controlGroup, bool leadsSession, pid_t& pid, FileDescriptor& pidfd) {
  if (const int refused = refusal != 0 ? refusal.load() : testRefusal.load()) {
    errno = refused;
    return OutcomeOf(refused);
  }
  ReapAbandoned();
  auto memory = std::make_unique<ChildMemory>();
  memory->argv = argv;
  memory->envp = environ;
  memory->leadsSession = leadsSession;
  memory->openFileLimit = ChildOpenFileLimit();
  int childPidFd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_PIDFD | CLONE_CHILD_CLEARTID | (controlGroup >= 0 ? CLONE_INTO_CGROUP : 0);
  args.pidfd = reinterpret_cast<std::uint64_t>(&childPidFd);
  args.child_tid = reinterpret_cast<std::uint64_t>(&memory->running);
  args.exit_signal = SIGCHLD;
  args.stack = reinterpret_cast<std::uint64_t>(memory->stack);
  args.stack_size = sizeof memory->stack;
  args.cgroup = controlGroup >= 0 ? static_cast<std::uint64_t>(controlGroup) : 0;
  // No handler of this process may run in the child before it resets them.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const long cloned = custodex_clone3_run(&args, sizeof args, ExecInChild, memory.get());
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (cloned < 0) {  // the raw system call's -errno
    errno = static_cast<int>(-cloned);
    return OutcomeOf(errno);
  }
  FileDescriptor child(childPidFd);
  if (!AwaitExec(*memory, kStartBoundMs)) return Abandon(std::move(memory), std::move(child));
  if (memory->execError != 0) {
    siginfo_t info{};
    ::waitid(P_PIDFD, static_cast<id_t>(child.Get()), &info, WEXITED);
    errno = static_cast<int>(memory->execError);
    return CloneOutcome::Failed;
  }
  pid = static_cast<pid_t>(cloned);
  pidfd = std::move(child);
  return CloneOutcome::Started;
}

}  // namespace xplat

#else

namespace xplat {

bool CanCloneIntoControlGroup() { return false; }

CloneOutcome CloneProgram(char* const*, int, bool, pid_t&, FileDescriptor&) {
  errno = ENOSYS;
  return CloneOutcome::Refused;
}

}  // namespace xplat

#endif
