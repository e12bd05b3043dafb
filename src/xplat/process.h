#pragma once
// Child processes. A process is started from a command line, queried for its
// exit code (kStillActive while it runs) and waited for. ProcessHandle and
// ThreadHandle own the system's handles of one started process and close
// them when they go; the process itself keeps running.
//
// Windows: CreateProcessW with handle inheritance on; the handles are the
// process and thread handles. Linux: the program is spawned without a shell,
// its command line split as the Windows C run-time splits it; the process
// handle is a pidfd, so a reused process id can never be mistaken for the
// child, and the child is reaped exactly once. Linux has no thread handle.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace xplat {

constexpr std::uint32_t kStillActive = 259;

// How an ended process ended, as the system tells it.
struct ProcessExit {
  std::uint32_t code = 0;   // as GetExitCode reads it
  int signal = 0;           // Linux: the signal it died of; 0 when it exited
  bool coreDumped = false;  // Linux: and it dumped core
  bool endedHere = false;   // ended through this handle's Terminate
};

// Why it ended, in a few words: "exited", "killed by SIGSEGV, core dumped",
// "crashed: access violation (0xC0000005)", "crashed (0xC0000139)",
// "ended by the module".
std::wstring DescribeExit(const ProcessExit& exit);

class ProcessHandle {
 public:
  struct Impl;

  ProcessHandle();
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&&) noexcept;
  ProcessHandle& operator=(ProcessHandle&&) noexcept;

  explicit operator bool() const { return impl != nullptr; }

  // The exit code, or kStillActive while the process runs. False, with the
  // last error set, when it cannot be read (also for an empty handle).
  bool GetExitCode(std::uint32_t& code) const;
  // The same, and whether the process has ended: a process that itself
  // exits with kStillActive (Windows only) is told apart by its wait state.
  bool GetExitCode(std::uint32_t& code, bool& ended) const;
  // How the process ended; false, with the last error set, while it runs
  // or when that cannot be read.
  bool GetExit(ProcessExit& exit) const;
  // True when the process has ended within ms; the wait goes through the
  // clock seam. False at once for an empty handle.
  bool WaitForExit(std::uint32_t ms) const;
  // True when the process has ended, and for an empty handle.
  bool HasEnded() const { return !impl || WaitForExit(0); }
  // Ends the process from outside with the given exit code. On Linux the
  // process is killed with SIGKILL and this handle then reports the given
  // code; a child ended by any other signal reports 128 + the signal number.
  bool Terminate(std::uint32_t exitCode) const;
  void Close();

 private:
  friend struct ProcessAccess;
  std::unique_ptr<Impl> impl;
};

class ThreadHandle {
 public:
  ThreadHandle() = default;
  explicit ThreadHandle(void* systemHandle) : handle(systemHandle) {}
  ~ThreadHandle() { Close(); }
  ThreadHandle(ThreadHandle&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
  ThreadHandle& operator=(ThreadHandle&& other) noexcept;
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;

  explicit operator bool() const { return handle != nullptr; }
  void Close();

 private:
  void* handle = nullptr;  // Windows thread handle; always null on Linux
};

struct StartedProcess {
  ProcessHandle process;
  ThreadHandle thread;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;  // on Linux the process id, which is its main thread's id
};

// The command line a program is started with: the image in quotation marks,
// then one blank and the arguments text when there is one.
std::wstring CommandLineOf(const std::wstring& image, const std::wstring& arguments);

// Starts the program `image` with the arguments text, which the program
// receives split by the C run-time's rules. The image is never parsed again:
// it names the file run whatever characters it holds. The child gets the
// caller's environment, current folder and inheritable handles (on Linux:
// every descriptor that is not close-on-exec). False, with the last error
// set, when no process was made.
bool StartProgram(const std::wstring& image, const std::wstring& arguments, StartedProcess& started);

// Opens a running process by its id to wait for its end; its exit code
// cannot be read (on Windows the handle carries no query right).
ProcessHandle OpenProcessForWaiting(std::uint32_t processId);
// Opens a running process by its id to supervise it: its end can be waited
// for and, while it runs, its code reads as kStillActive. Once it has ended
// its code can be read on Windows; on Linux only for a child of this
// process, which the handle then reaps, else the read fails. A handle opened
// to wait never reaps.
ProcessHandle OpenProcessToSupervise(std::uint32_t processId);

// Splits a command line into arguments as the Windows C run-time does
// (quotes, backslashes before quotes, blanks and tabs as separators). The
// first argument, the program's name, is read as the run-time reads it: its
// quotes only group, and its backslashes are always literal.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);
// The same rules for a text of arguments only, without a program name.
std::vector<std::wstring> SplitArguments(const std::wstring& arguments);

enum class WaitAllResult { AllEnded, TimedOut, Failed };

// Waits until every given process has ended, at most ms in all, however many
// there are (Windows waits on at most 64 handles at once, so larger sets are
// waited for in groups within the one budget). Empty handles are left out.
WaitAllResult WaitForAllProcesses(const std::vector<const ProcessHandle*>& processes, std::uint32_t ms);

// Ends a process known only by its id (the service stand-in's "kill"). On
// Linux the code is not passed on: the process dies of SIGKILL.
bool TerminateProcessById(std::uint32_t processId, std::uint32_t exitCode);

// The id of the calling process.
std::uint32_t CurrentProcessId();

}  // namespace xplat
