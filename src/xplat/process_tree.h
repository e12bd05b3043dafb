#pragma once
// A process tree: a program started in it and every process that program
// starts, however deep, without their cooperation. A tree never ends
// anything unless told to, and closing it leaves its processes running.
//
// Windows: an unnamed job object, so no other account can open it, without
// kill-on-close; the program is created suspended, put into the job, then
// resumed, and what it starts joins the job by itself. Linux: a control
// group (cgroup v2) of its own, beneath the caller's, where the caller may
// make one; the program is cloned straight into it. Otherwise a process
// group that each program started in the tree leads; a process that leaves
// its group leaves the tree.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xplat/process.h"

namespace xplat {

enum class ProcessTreeKind { JobObject, ControlGroup, ProcessGroup };

struct ProcessTreeUsage {
  std::uint32_t processes = 0;  // running now
  std::uint64_t userMs = 0;
  std::uint64_t kernelMs = 0;
  std::uint64_t peakMemoryBytes = 0;
  bool peakMemoryKnown = false;
};

class ProcessTree {
 public:
  struct Impl;

  ProcessTree();
  ~ProcessTree();
  ProcessTree(ProcessTree&&) noexcept;
  ProcessTree& operator=(ProcessTree&&) noexcept;

  // A tree named after `name` (on Linux its control group's folder), of the
  // best kind the system gives, or a process group when `processGroup` asks
  // for one. Empty, with the last error set, when none can be made.
  static ProcessTree Create(const std::wstring& name, bool processGroup = false);

  explicit operator bool() const { return impl != nullptr; }
  ProcessTreeKind Kind() const;

  // Starts the program as StartProgram does, already inside the tree.
  // False, with the last error set, when it could not be put there; then
  // no process is left running.
  bool Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started);
  // The processes of the tree running now, in ascending order.
  std::vector<std::uint32_t> ProcessIds() const;
  bool IsEmpty() const { return ProcessIds().empty(); }
  // True when every process of the tree, including those started while it
  // waits, has ended within ms; the wait goes through the clock seam.
  bool WaitUntilEmpty(std::uint32_t ms) const;
  // Ends every process of the tree from outside with the given exit code
  // (on Linux they die of SIGKILL).
  bool Terminate(std::uint32_t exitCode) const;
  // CPU time and peak memory: the job's or the control group's accounting,
  // which counts ended processes too; of a process group, the figures of
  // its processes running now, summed. False when nothing can be read.
  bool ReadUsage(ProcessTreeUsage& usage) const;

 private:
  // A process of the tree, opened to wait for its end, or an empty handle
  // when it ended or left the tree meanwhile.
  ProcessHandle OpenMember(std::uint32_t processId) const;

  std::unique_ptr<Impl> impl;
};

}  // namespace xplat
