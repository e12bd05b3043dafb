#pragma once
// A process tree: a program started in it and every process that program
// starts, however deep, without their cooperation. Whether it holds a
// process is asked of the kernel object that holds them, never guessed from
// a listing; "cannot tell" is an answer of its own. A tree never ends
// anything unless told to, and closing it leaves its processes running.
//
// Windows: an unnamed job object, so no other account can open it, without
// kill-on-close; the program is created suspended, put into the job, then
// resumed. The job's count of active processes says whether it is empty,
// and a completion port shared by every job tells when a count falls to 0.
// Linux: control groups (cgroup v2) of its own beneath the caller's, where
// the caller may make them; the program is cloned straight into one, in a
// session of its own. "populated" in cgroup.events says whether a group or
// any group beneath it holds a process, and the kernel signals its changes.
// A group that was ended is never started into again. Otherwise each
// program leads a process group and a session of its own; a process counts
// only once verified (the caller's user, the session and group the program
// made, started since), and is ended through its pidfd. A process that
// leaves that group or session, or changes its user, leaves the tree.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "xplat/process.h"

namespace xplat {

enum class ProcessTreeKind { JobObject, ControlGroup, ProcessGroup };

enum class TreeState { Empty, Populated, Unknown };

// Each figure is left out when the system does not tell it truly.
struct ProcessTreeUsage {
  std::optional<std::uint64_t> userMs;  // CPU time, ended processes included
  std::optional<std::uint64_t> kernelMs;
  std::optional<std::uint64_t> peakMemoryBytes;  // the peak of the whole tree at once
};

// One look at the system's processes, taken when a tree first needs it and
// shared by every tree asked with it: trees of process groups need one.
class ProcessLook {
 public:
  struct Impl;
  ProcessLook();
  ~ProcessLook();
  ProcessLook(const ProcessLook&) = delete;
  ProcessLook& operator=(const ProcessLook&) = delete;

  Impl& Get() const;

 private:
  std::unique_ptr<Impl> impl;
};

class ProcessTree {
 public:
  struct Impl;

  ProcessTree();
  ~ProcessTree();
  ProcessTree(ProcessTree&&) noexcept;
  ProcessTree& operator=(ProcessTree&&) noexcept;

  // A tree named after `name` (on Linux, its control groups' folders), of
  // the best kind the system gives, or of process groups when asked. Empty,
  // with the last error set, when none can be made.
  static ProcessTree Create(const std::wstring& name, bool processGroups = false);
  // Why the tree is of process groups where control groups were wanted;
  // empty when it is not.
  std::wstring WhyProcessGroups() const;
  // Trees that ended services (or earlier modules of this one) left, by the
  // name they were made for: those still holding processes; empty ones are
  // removed as they are found. Linux only: a job ends with its service.
  static std::vector<std::pair<std::wstring, ProcessTree>> TakeOverLeftTrees();
  // Lets the system forget what it kept for waits that nobody made (on
  // Windows the notices queued on the jobs' port): now and then, so that
  // they never pile up.
  static void DropPastNotices();

  explicit operator bool() const { return impl != nullptr; }
  // The kind the next start uses.
  ProcessTreeKind Kind() const;

  // Starts the program as StartProgram does, already inside the tree.
  // False, with the last error set, when it could not be put there; then
  // no process is left running. Where control groups refuse it, the tree
  // and later ones are process groups from then on.
  bool Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started);

  // One look serves every tree asked with it; process groups need one.
  TreeState State(const ProcessLook& look) const;
  TreeState State() const { return State(ProcessLook()); }
  // The processes of the tree running now, in ascending order; nothing when
  // they cannot be listed. A listing only names them: State decides.
  std::optional<std::vector<std::uint32_t>> ProcessIds(const ProcessLook& look) const;
  std::optional<std::vector<std::uint32_t>> ProcessIds() const { return ProcessIds(ProcessLook()); }
  // Waits at most ms, through the clock seam, for the tree to be empty.
  TreeState WaitUntilEmpty(std::uint32_t ms) const;
  // Ends every process of the tree from outside (on Linux they die of
  // SIGKILL); a wait that follows ends those that survive it.
  bool Terminate(std::uint32_t exitCode, const ProcessLook& look);
  bool Terminate(std::uint32_t exitCode) { return Terminate(exitCode, ProcessLook()); }
  ProcessTreeUsage ReadUsage(const ProcessLook& look) const;

 private:
  friend struct ProcessTreeAccess;
  std::unique_ptr<Impl> impl;
};

// Waits for every tree within the one budget of ms.
TreeState WaitUntilAllEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms);

}  // namespace xplat
