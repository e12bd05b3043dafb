#include "xplat/posix/clone_into_cgroup.h"

#include <linux/sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace xplat {
namespace {

constexpr std::size_t kChildStackBytes = 64 * 1024;

std::atomic<int> testRefusal{0};
std::atomic<int> refusal{0};

CloneOutcome OutcomeOf(int error) {
  if (error == ENOENT || error == ENODEV) return CloneOutcome::GroupGone;
  if (error == EAGAIN || error == ENOMEM) return CloneOutcome::Failed;
  refusal = error;
  return CloneOutcome::Refused;
}

// What the child needs, prepared before the clone: it may then only make
// async-signal-safe calls, on memory it shares with its suspended parent.
struct ChildStart {
  char* const* argv;
  int execError = 0;
};

int ExecInChild(void* start) {
  auto* child = static_cast<ChildStart*>(start);
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaultAction, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::setsid();
  ::execve(child->argv[0], child->argv, environ);
  child->execError = errno;
  return 127;
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
    ".text\n"
    ".globl custodex_clone3_run\n"
    ".type custodex_clone3_run, @function\n"
    "custodex_clone3_run:\n"
    "  push %r12\n"
    "  push %r13\n"
    "  mov %rdx, %r12\n"
    "  mov %rcx, %r13\n"
    "  mov $435, %eax\n"  // __NR_clone3
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  xor %ebp, %ebp\n"
    "  mov %r13, %rdi\n"
    "  call *%r12\n"
    "  mov %eax, %edi\n"
    "  mov $60, %eax\n"  // __NR_exit
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  pop %r13\n"
    "  pop %r12\n"
    "  ret\n"
    ".size custodex_clone3_run, .-custodex_clone3_run\n");

namespace xplat {

bool CanCloneIntoControlGroup() { return true; }

CloneOutcome CloneIntoControlGroup(char* const* argv, int controlGroup, pid_t& pid, FileDescriptor& pidfd) {
  if (const int refused = refusal != 0 ? refusal.load() : testRefusal.load()) {
    refusal = refused;
    errno = refused;
    return CloneOutcome::Refused;
  }
  std::vector<std::max_align_t> stack(kChildStackBytes / sizeof(std::max_align_t));
  ChildStart start{argv};
  int childPidFd = -1;
  clone_args args{};
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD | CLONE_INTO_CGROUP;
  args.pidfd = reinterpret_cast<std::uint64_t>(&childPidFd);
  args.exit_signal = SIGCHLD;
  args.stack = reinterpret_cast<std::uint64_t>(stack.data());
  args.stack_size = stack.size() * sizeof(std::max_align_t);
  args.cgroup = static_cast<std::uint64_t>(controlGroup);
  // No handler of this process may run in the child before it resets them.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const long cloned = custodex_clone3_run(&args, sizeof args, ExecInChild, &start);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (cloned < 0) {  // the raw system call's -errno
    errno = static_cast<int>(-cloned);
    return OutcomeOf(errno);
  }
  pid = static_cast<pid_t>(cloned);
  pidfd = FileDescriptor(childPidFd);
  if (start.execError == 0) return CloneOutcome::Started;
  ::waitpid(pid, nullptr, 0);
  pidfd.Close();
  errno = start.execError;
  return CloneOutcome::Failed;
}

}  // namespace xplat

#else

namespace xplat {

bool CanCloneIntoControlGroup() { return false; }

CloneOutcome CloneIntoControlGroup(char* const*, int, pid_t&, FileDescriptor&) {
  errno = ENOSYS;
  return CloneOutcome::Refused;
}

}  // namespace xplat

#endif
