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
// and a completion port of the set the job is of tells when a count falls
// to 0.
// Linux: control groups (cgroup v2) beneath the caller's, in a folder the
// caller holds locked; each start is cloned straight into a group made for
// it, in a session of its own. "populated" in cgroup.events says whether a
// group or any group beneath it holds a process, and the kernel signals its
// changes. Otherwise each program leads a process group and a session of
// its own, and the tree holds the program's zombie until its group is
// empty, so that the group's id names nothing else meanwhile. A process
// that leaves that group leaves the tree.

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

class ProcessTree;

// The trees of one module: each made in it, and those that ended services
// of the same install left. On Linux it holds the service's folder of
// control groups locked for its life, and the folders it takes over.
class ProcessTreeSet {
 public:
  struct Impl;

  // `install` names the install (its program folder): no tree of another
  // install is ever taken over, ended or removed.
  explicit ProcessTreeSet(const std::wstring& install);
  ~ProcessTreeSet();
  ProcessTreeSet(const ProcessTreeSet&) = delete;
  ProcessTreeSet& operator=(const ProcessTreeSet&) = delete;

  // A set of this process's own, for trees made outside a module.
  static const ProcessTreeSet& Default();

  // A tree named after `name`, of the best kind the system gives, or of
  // process groups when asked. Empty, with the last error set, when none
  // can be made.
  ProcessTree Create(const std::wstring& name, bool processGroups = false) const;

  struct LeftTrees {
    std::vector<std::pair<std::wstring, ProcessTree>> trees;  // by the name they were made for
    std::vector<std::wstring> unreadable;                     // what was passed over: names that do not parse
  };
  // Trees that ended services of this install (or earlier modules of this
  // one) left, still holding processes; empty ones are removed as they are
  // found. Linux only: a job ends with its service.
  LeftTrees TakeOverLeftTrees() const;

  // While a round is open, the questions asked of the set's trees are
  // answered from one look at the system's processes, taken at the first
  // that needs one (trees of process groups do); outside a round each takes
  // its own. Opening a round, nested or not, begins a new look.
  class Round {
   public:
    Round() = default;  // of no set: shares nothing
    explicit Round(const ProcessTreeSet& set);
    ~Round();
    Round(Round&&) noexcept = default;
    Round& operator=(Round&&) noexcept = default;

   private:
    std::shared_ptr<Impl> set;
  };

  // Lets the trees go of what they no longer hold, in one round: the empty
  // groups of earlier runs go (a latest run's goes at the tree's next start
  // or its end: while its host runs it is not empty, and not read), and
  // the leaders of empty process groups are reaped. Every
  // process group whose emptiness is in doubt is stopped for the one look
  // that tells, whichever tree it is of.
  void Refresh(const std::vector<const ProcessTree*>& trees) const;
  // Waits at most ms in all, through the clock seam, for every tree to be
  // empty, on what the set holds for it: on Linux the cgroup.events of
  // their groups, held across the wait; on Windows the set's completion
  // port, which every job of the set tells.
  TreeState WaitUntilEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms) const;
  // Lets the system forget what it kept for waits that nobody made (on
  // Windows the notices queued on the set's port): now and then, so that
  // they never pile up.
  void DropPastNotices() const;

 private:
  std::shared_ptr<Impl> impl;
};

class ProcessTree {
 public:
  struct Impl;

  ProcessTree();
  ~ProcessTree();
  ProcessTree(ProcessTree&&) noexcept;
  ProcessTree& operator=(ProcessTree&&) noexcept;

  // ProcessTreeSet::Default().Create.
  static ProcessTree Create(const std::wstring& name, bool processGroups = false);
  // Why the tree is of process groups where control groups were wanted;
  // empty when it is not.
  std::wstring WhyProcessGroups() const;
  // Whether that is for this tree alone: its own groups refused a start.
  bool FellBackAlone() const;
  explicit operator bool() const { return impl != nullptr; }
  // The kind the next start uses.
  ProcessTreeKind Kind() const;

  // Starts the program as StartProgram does, already inside the tree.
  // False, with the last error set, when it could not be put there; then
  // no process is left running. Where the kernel refuses control groups,
  // this tree and later ones are process groups from then on; where only
  // this tree's groups refuse, this tree alone.
  bool Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started);
  // Whether the last start was abandoned, its program not running within a
  // second (a group frozen by a host, say): the child was ended.
  bool StartAbandoned() const;

  // What the tree holds as its kernel objects last told, without a side
  // effect: on Linux a process group whose leader has ended counts until a
  // refresh finds it empty.
  TreeState State() const;
  // Its set's Refresh, for this tree alone. Every wait does it.
  void Refresh() const;
  // The processes of the tree running now, in ascending order; nothing when
  // they cannot be listed. A listing only names them: State decides.
  std::optional<std::vector<std::uint32_t>> ProcessIds() const;
  // The starts the tree has made: a mark for ProcessIdsOfRuns.
  std::uint64_t Runs() const;
  // ProcessIds of the first `runs` runs: later starts' processes are left
  // out where each run has groups of its own (Linux); one job holds them all.
  std::optional<std::vector<std::uint32_t>> ProcessIdsOfRuns(std::uint64_t runs) const;
  // Its set's WaitUntilEmpty, for this tree alone.
  TreeState WaitUntilEmpty(std::uint32_t ms) const;
  // Ends every process of the tree from outside (on Linux they die of
  // SIGKILL); a wait that follows ends those that survive it.
  bool Terminate(std::uint32_t exitCode);
  ProcessTreeUsage ReadUsage() const;

 private:
  friend struct ProcessTreeAccess;
  friend class ProcessTreeSet;
  std::unique_ptr<Impl> impl;
};

}  // namespace xplat
