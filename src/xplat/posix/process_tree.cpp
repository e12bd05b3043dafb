// Control groups where the caller may make them beneath its own, else a
// process group and session for each program started in the tree.

#include "xplat/process_tree.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <thread>

#include "xplat/clock.h"
#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group.h"
#include "xplat/posix/control_group_place.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/process_group.h"
#include "xplat/posix/spawn_placement.h"
#include "xplat/process_tree_wait.h"
#include "xplat/system_error.h"
#include "xplat/text.h"

namespace xplat {
namespace {

// How often a wait looks again at what no kernel signal tells of: process
// groups, a tree whose end was asked, a group it could not watch.
constexpr std::uint32_t kLookMs = 20;
// The groups one wait watches at most: each costs a descriptor meanwhile.
constexpr std::size_t kWatchedGroups = 64;
constexpr unsigned kGroupNameTries = 1000;

std::atomic<unsigned> nextGeneration{1};

std::wstring ErrorText(int error) {
  std::wstring text = SystemMessage(static_cast<ErrorCode>(error)).value_or(L"error " + std::to_wstring(error));
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

// Once the kernel refused to clone into a group, later trees are process groups.
bool ControlGroupsServe() { return FindTreesPlace().place && CloneRefusal() == 0; }

struct TreeGroup {
  ControlGroup group;
  bool closed = false;  // ended, or left by another: never started into again
};

}  // namespace

struct ProcessLook::Impl {
  // Taken at the first need; null when /proc could not be read.
  const ProcessStats* Stats() {
    if (!taken) readable = stats.Read();
    taken = true;
    return readable ? &stats : nullptr;
  }

  ProcessStats stats;
  bool taken = false;
  bool readable = false;
};

ProcessLook::ProcessLook() : impl(std::make_unique<Impl>()) {}
ProcessLook::~ProcessLook() = default;
ProcessLook::Impl& ProcessLook::Get() const { return *impl; }

struct ProcessTree::Impl {
  Impl(std::string treeName, ProcessTreeKind treeKind) : name(std::move(treeName)), kind(treeKind) {}
  // Empty groups go, then the service's folder if it is empty too; what
  // still holds a process stays, for the next service to take over.
  ~Impl() {
    for (const TreeGroup& held : groups) RemoveGroup(held.group);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void RemoveGroup(const ControlGroup& group) {
    if (const std::optional<CpuTimes> cpu = group.Cpu()) {
      removedCpu.userMs += cpu->userMs;
      removedCpu.kernelMs += cpu->kernelMs;
    }
    if (!group.Remove()) return;
    const std::string folder = group.Folder();
    ::rmdir(folder.substr(0, folder.rfind('/')).c_str());
  }

  // The closed groups found empty are removed, keeping their CPU time.
  void Prune() {
    for (auto held = groups.begin(); held != groups.end();) {
      if (!held->closed || held->group.State() != TreeState::Empty) {
        ++held;
        continue;
      }
      RemoveGroup(held->group);
      held = groups.erase(held);
    }
  }

  // The group the next start goes into: a fresh one after an end, whose
  // group the kernel would kill every process cloned into.
  const ControlGroup* OpenGroup() {
    if (!groups.empty() && !groups.back().closed) return &groups.back().group;
    const TreesPlace& place = *FindTreesPlace().place;
    for (unsigned tries = 0; tries < kGroupNameTries; ++tries) {
      const unsigned generation = groups.empty() && tries == 0 ? 0 : nextGeneration++;
      ControlGroup group(place.mount, place.trees + "/" + GroupFolderName(name, generation));
      if (group.Make()) {
        groups.push_back(TreeGroup{std::move(group), false});
        return &groups.back().group;
      }
      if (errno != EEXIST) return nullptr;
    }
    return nullptr;
  }

  // GroupRefused with `fallback` set: this tree alone has no group. A group
  // removed from outside while empty is made anew.
  PlacedStart StartInControlGroup(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
    const ControlGroup* group = OpenGroup();
    if (!group) {
      fallback = L"no control group can be made for it: " + ErrorText(errno);
      return PlacedStart::GroupRefused;
    }
    // Opened only around the start: a host costs no descriptor beyond its own.
    FileDescriptor folder(::open(group->Folder().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder && errno == ENOENT && group->Make()) {  // removed from outside while empty
      folder = FileDescriptor(::open(group->Folder().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!folder) return PlacedStart::Failed;
    SpawnPlacement placement;
    placement.controlGroup = folder.Get();
    PlacedStart result = StartPlacedProgram(image, arguments, placement, started);
    if (result == PlacedStart::GroupGone && group->Make()) {
      folder = FileDescriptor(::open(group->Folder().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      placement.controlGroup = folder.Get();
      if (folder) result = StartPlacedProgram(image, arguments, placement, started);
    }
    return result;
  }

  // The group made is no older than its leader, which the look verifies:
  // a leader whose start cannot be read is not started at all.
  bool StartInProcessGroup(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
    SpawnPlacement placement;
    placement.leadsSession = true;
    if (StartPlacedProgram(image, arguments, placement, started) != PlacedStart::Started) return false;
    const std::optional<ProcessStat> leader = ReadProcessStat(static_cast<pid_t>(started.processId));
    if (!leader) {
      const int error = errno;
      started.process.Terminate(1);
      started.process.WaitForExit(kInfinite);
      started = StartedProcess();
      errno = error;
      return false;
    }
    processGroups.push_back(LedGroup{leader->processId, leader->startTicks});
    return true;
  }

  // The groups that have ended for good go at once: their ids may be reused.
  void DropEndedGroups(const ProcessStats& look) {
    processGroups.erase(std::remove_if(processGroups.begin(), processGroups.end(),
                                       [&](const LedGroup& group) { return group.HasEnded(look); }),
                        processGroups.end());
  }

  // None seen is checked by a second look, which a process started by one
  // that ended meanwhile cannot escape as well; only then is the group gone.
  TreeState ProcessGroupsState(const ProcessLook& look) {
    // A group whose id no process has needs no look at /proc.
    processGroups.erase(std::remove_if(processGroups.begin(), processGroups.end(),
                                       [](const LedGroup& group) { return group.IsGone(); }),
                        processGroups.end());
    if (processGroups.empty()) return TreeState::Empty;
    const ProcessStats* stats = look.Get().Stats();
    if (!stats) return TreeState::Unknown;
    DropEndedGroups(*stats);
    bool running = false;
    for (auto group = processGroups.begin(); group != processGroups.end();) {
      if (!group->Members(*stats).empty()) {
        running = true;
        ++group;
        continue;
      }
      ProcessStats again;
      if (!again.Read()) return TreeState::Unknown;
      if (!group->Members(again).empty()) {
        running = true;
        ++group;
      } else {
        group = processGroups.erase(group);
      }
    }
    return running ? TreeState::Populated : TreeState::Empty;
  }

  // The CPU time of each member as last seen; a member gone keeps its own.
  void NoteCpu(const std::vector<ProcessStat>& members) {
    std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> seen;
    for (const ProcessStat& member : members) {
      seen[{member.processId, member.startTicks}] = CpuTimes{member.userTicks, member.kernelTicks};
    }
    for (const auto& [member, ticks] : seenCpu) {
      if (seen.count(member) != 0) continue;
      endedTicks.userMs += ticks.userMs;
      endedTicks.kernelMs += ticks.kernelMs;
    }
    seenCpu = std::move(seen);
  }

  // Ends every group; of process groups, the members the look verifies.
  bool EndAll(const ProcessLook& look) {
    bool all = true;
    for (TreeGroup& held : groups) {
      held.closed = true;
      all = held.group.Kill() && all;
    }
    if (processGroups.empty()) return all;
    const ProcessStats* stats = look.Get().Stats();
    if (!stats) return false;
    for (const LedGroup& group : processGroups) all = group.EndMembers(*stats) && all;
    return all;
  }

  const std::string name;
  ProcessTreeKind kind;
  std::vector<TreeGroup> groups;
  std::vector<LedGroup> processGroups;
  CpuTimes removedCpu;  // of the control groups removed
  // Of process groups' members, in clock ticks: each as last seen, and those
  // of the members that have ended since.
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> seenCpu;
  CpuTimes endedTicks;
  bool ending = false;
  std::wstring fallback;  // why this tree alone is of process groups
};

struct ProcessTreeAccess {
  static ProcessTree::Impl& Of(const ProcessTree& tree) { return *tree.impl; }
};

ProcessTree::ProcessTree() = default;
ProcessTree::~ProcessTree() = default;
ProcessTree::ProcessTree(ProcessTree&&) noexcept = default;
ProcessTree& ProcessTree::operator=(ProcessTree&&) noexcept = default;

ProcessTree ProcessTree::Create(const std::wstring& name, bool processGroups) {
  ProcessTree tree;
  const bool groups = !processGroups && ControlGroupsServe();
  tree.impl =
      std::make_unique<Impl>(ToUtf8(name), groups ? ProcessTreeKind::ControlGroup : ProcessTreeKind::ProcessGroup);
  return tree;
}

std::wstring ProcessTree::WhyProcessGroups() const {
  if (impl->kind != ProcessTreeKind::ProcessGroup) return {};
  if (!impl->fallback.empty()) return impl->fallback;
  if (const int refused = CloneRefusal()) {
    return L"the kernel refuses to start a process in a control group: " + ErrorText(refused);
  }
  return FindTreesPlace().refusal;
}

std::vector<std::pair<std::wstring, ProcessTree>> ProcessTree::TakeOverLeftTrees() {
  std::vector<std::pair<std::wstring, ProcessTree>> trees;
  const std::optional<TreesPlace>& place = FindTreesPlace().place;
  if (!place) return trees;
  std::map<std::string, ProcessTree> byName;
  for (LeftGroup& left : CollectLeftGroups(*place)) {
    ProcessTree& tree = byName[left.hostName];
    if (!tree) tree = Create(FromUtf8(left.hostName));
    tree.impl->groups.push_back(TreeGroup{ControlGroup(place->mount, left.relative), true});
  }
  for (auto& [name, tree] : byName) trees.emplace_back(FromUtf8(name), std::move(tree));
  return trees;
}

void ProcessTree::DropPastNotices() {}

ProcessTreeKind ProcessTree::Kind() const { return impl->kind; }

bool ProcessTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  impl->ending = false;
  impl->Prune();
  if (impl->kind == ProcessTreeKind::ControlGroup) {
    const PlacedStart result = impl->StartInControlGroup(image, arguments, started);
    if (result == PlacedStart::Started) return true;
    if (result != PlacedStart::GroupRefused) return false;
    impl->kind = ProcessTreeKind::ProcessGroup;
  }
  return impl->StartInProcessGroup(image, arguments, started);
}

// A group that holds a process decides; one that cannot be read says only
// that nothing can be told.
TreeState ProcessTree::State(const ProcessLook& look) const {
  bool unknown = false;
  for (const TreeGroup& held : impl->groups) {
    const TreeState state = held.group.State();
    if (state == TreeState::Populated) return state;
    unknown = unknown || state == TreeState::Unknown;
  }
  const TreeState groups = impl->ProcessGroupsState(look);
  if (groups == TreeState::Populated) return groups;
  return unknown || groups == TreeState::Unknown ? TreeState::Unknown : TreeState::Empty;
}

std::optional<std::vector<std::uint32_t>> ProcessTree::ProcessIds(const ProcessLook& look) const {
  std::vector<std::uint32_t> ids;
  for (const TreeGroup& held : impl->groups) {
    const std::optional<std::vector<pid_t>> members = held.group.Members();
    if (!members) return std::nullopt;
    ids.insert(ids.end(), members->begin(), members->end());
  }
  if (!impl->processGroups.empty()) {
    const ProcessStats* stats = look.Get().Stats();
    if (!stats) return std::nullopt;
    impl->DropEndedGroups(*stats);
    std::vector<ProcessStat> members;
    for (const LedGroup& group : impl->processGroups) {
      for (const ProcessStat& member : group.Members(*stats)) members.push_back(member);
    }
    impl->NoteCpu(members);
    for (const ProcessStat& member : members) ids.push_back(static_cast<std::uint32_t>(member.processId));
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

TreeState ProcessTree::WaitUntilEmpty(std::uint32_t ms) const { return WaitUntilAllEmpty({this}, ms); }

// Every group is ended in one step, so that no member can start another
// meanwhile; a wait that follows ends again what survives it (a member
// whose other thread started a process as the end came, say).
bool ProcessTree::Terminate(std::uint32_t, const ProcessLook& look) {
  impl->ending = true;
  return impl->EndAll(look);
}

// Control groups count what their ended processes used; process groups only
// what their members had used when last seen. A peak is only a peak of one
// group holding the whole tree.
ProcessTreeUsage ProcessTree::ReadUsage(const ProcessLook& look) const {
  ProcessTreeUsage usage;
  CpuTimes cpu = impl->removedCpu;
  bool cpuKnown = true;
  for (const TreeGroup& held : impl->groups) {
    const std::optional<CpuTimes> times = held.group.Cpu();
    cpuKnown = cpuKnown && times;
    if (!times) continue;
    cpu.userMs += times->userMs;
    cpu.kernelMs += times->kernelMs;
  }
  if (!impl->processGroups.empty() || !impl->seenCpu.empty()) {
    cpuKnown = cpuKnown && ProcessIds(look).has_value();
    CpuTimes ticks = impl->endedTicks;
    for (const auto& [member, times] : impl->seenCpu) {
      ticks.userMs += times.userMs;
      ticks.kernelMs += times.kernelMs;
    }
    cpu.userMs += TicksToMs(ticks.userMs);
    cpu.kernelMs += TicksToMs(ticks.kernelMs);
  }
  if (cpuKnown) {
    usage.userMs = cpu.userMs;
    usage.kernelMs = cpu.kernelMs;
  }
  if (impl->groups.size() == 1 && impl->processGroups.empty() && impl->seenCpu.empty()) {
    usage.peakMemoryBytes = impl->groups.front().group.PeakMemoryBytes();
  }
  return usage;
}

// Waits on the cgroup.events of every group that holds a process, looking
// again every kLookMs where no signal tells: true once all are empty.
bool AwaitTreesEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms) {
  std::vector<FileDescriptor> events;
  bool looksAgain = false;
  const ProcessLook before;
  for (const ProcessTree* tree : trees) {
    ProcessTree::Impl& impl = ProcessTreeAccess::Of(*tree);
    if (impl.ending) impl.EndAll(before);
    looksAgain = looksAgain || impl.ending || !impl.processGroups.empty();
    for (const TreeGroup& held : impl.groups) {
      if (held.group.State() != TreeState::Populated) continue;
      if (events.size() == kWatchedGroups) {
        looksAgain = true;
        continue;
      }
      events.emplace_back(held.group.OpenEvents());
      looksAgain = looksAgain || !events.back();
    }
  }
  std::vector<pollfd> watched;
  for (const FileDescriptor& fd : events) {
    if (fd) watched.push_back(pollfd{fd.Get(), POLLPRI, 0});
  }
  const std::uint32_t waitMs = looksAgain ? std::min(ms, kLookMs) : ms;
  if (watched.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  } else if (waitMs > 0) {
    ::poll(watched.data(), watched.size(), static_cast<int>(waitMs));
  }
  const ProcessLook after;
  return std::all_of(trees.begin(), trees.end(),
                     [&](const ProcessTree* tree) { return tree->State(after) == TreeState::Empty; });
}

}  // namespace xplat
