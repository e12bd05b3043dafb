// Control groups where the caller may make them beneath its own, else a
// process group and session for each program started in the tree.

#include "xplat/process_tree.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

#include "xplat/dynamic_library.h"
#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group_place.h"
#include "xplat/posix/control_group_tree.h"
#include "xplat/posix/group_watch.h"
#include "xplat/posix/process_group_tree.h"
#include "xplat/posix/service_folder.h"
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

std::wstring ErrnoText(int error) { return ErrorText(static_cast<ErrorCode>(error)); }

std::string FolderName(const ServiceFolder& folder) {
  return folder.Relative().substr(folder.Relative().rfind('/') + 1);
}

}  // namespace

struct ProcessTreeSet::Impl {
  // The round's look, taken at its first need and kept while a round is
  // open; null when /proc cannot be read.
  std::shared_ptr<const ProcessStats> Look() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (rounds != 0 && taken) return look;
    auto stats = std::make_shared<ProcessStats>();
    std::shared_ptr<const ProcessStats> read = stats->Read() ? std::move(stats) : nullptr;
    if (rounds != 0) {
      look = read;
      taken = true;
    }
    return read;
  }

  void BeginRound() {
    const std::lock_guard<std::mutex> lock(mutex);
    ++rounds;
    taken = false;
    look.reset();
  }

  void EndRound() {
    const std::lock_guard<std::mutex> lock(mutex);
    if (--rounds != 0) return;
    taken = false;
    look.reset();
  }

  std::string install;
  std::shared_ptr<ServiceFolder> own;  // null where control groups do not serve
  std::wstring refusal;                // why not
  std::mutex mutex;                    // trees of the default set may be asked from any thread
  unsigned rounds = 0;
  bool taken = false;
  std::shared_ptr<const ProcessStats> look;
};

struct ProcessTree::Impl {
  Impl(std::shared_ptr<ProcessTreeSet::Impl> treeSet, std::string treeName, std::shared_ptr<ServiceFolder> folder)
      : set(std::move(treeSet)),
        kind(folder ? ProcessTreeKind::ControlGroup : ProcessTreeKind::ProcessGroup),
        controlGroups(folder, std::move(treeName)) {}

  std::shared_ptr<ProcessTreeSet::Impl> set;
  ProcessTreeKind kind;
  ControlGroupTree controlGroups;
  ProcessGroupTree processGroups;
  std::uint64_t runs = 0;
  bool ending = false;
  bool abandoned = false;
  std::wstring fallback;  // why this tree is of process groups
  bool alone = false;     // its own groups refused, not the system
};

struct ProcessTreeAccess {
  static ProcessTree::Impl& Of(const ProcessTree& tree) { return *tree.impl; }
};

ProcessTreeSet::Round::Round(const ProcessTreeSet& treeSet) : set(treeSet.impl) { set->BeginRound(); }

ProcessTreeSet::Round::~Round() {
  if (set) set->EndRound();
}

ProcessTreeSet::ProcessTreeSet(const std::wstring& install) : impl(std::make_shared<Impl>()) {
  impl->install = InstallTag(install);
  const TreesPlaceFound& found = FindTreesPlace();
  if (!found.place) {
    impl->refusal = found.refusal;
    return;
  }
  impl->own = ServiceFolder::MakeOwn(*found.place, impl->install);
  if (!impl->own) impl->refusal = L"no folder for the service's trees can be made: " + ErrnoText(errno);
}

ProcessTreeSet::~ProcessTreeSet() = default;

const ProcessTreeSet& ProcessTreeSet::Default() {
  static const ProcessTreeSet set(ExecutablePath());
  return set;
}

ProcessTree ProcessTreeSet::Create(const std::wstring& name, bool processGroups) const {
  ProcessTree tree;
  const bool groups = !processGroups && impl->own && CloneRefusal() == 0;
  tree.impl = std::make_unique<ProcessTree::Impl>(impl, ToUtf8(name), groups ? impl->own : nullptr);
  if (!groups && !processGroups) {
    tree.impl->fallback =
        CloneRefusal() != 0 ? L"the kernel refuses to start a process in a control group: " + ErrnoText(CloneRefusal())
                            : impl->refusal;
  }
  return tree;
}

ProcessTreeSet::LeftTrees ProcessTreeSet::TakeOverLeftTrees() const {
  LeftTrees left;
  if (!impl->own) return left;
  const LeftGroups groups = CollectLeftGroups(*FindTreesPlace().place, impl->install, FolderName(*impl->own));
  std::map<std::string, ProcessTree> byName;
  for (const LeftGroup& group : groups.groups) {
    ProcessTree& tree = byName[group.hostName];
    if (!tree) tree = Create(FromUtf8(group.hostName));
    tree.impl->controlGroups.Adopt(group.folder, group.relative);
  }
  for (auto& [name, tree] : byName) left.trees.emplace_back(FromUtf8(name), std::move(tree));
  for (const std::string& name : groups.unreadable) left.unreadable.push_back(FromUtf8(name));
  return left;
}

ProcessTree::ProcessTree() = default;
ProcessTree::~ProcessTree() = default;
ProcessTree::ProcessTree(ProcessTree&&) noexcept = default;
ProcessTree& ProcessTree::operator=(ProcessTree&&) noexcept = default;

std::wstring ProcessTree::WhyProcessGroups() const {
  return impl->kind == ProcessTreeKind::ProcessGroup ? impl->fallback : std::wstring();
}

void ProcessTreeSet::DropPastNotices() const {}

ProcessTreeKind ProcessTree::Kind() const { return impl->kind; }

bool ProcessTree::FellBackAlone() const { return impl->kind == ProcessTreeKind::ProcessGroup && impl->alone; }

bool ProcessTree::StartAbandoned() const { return impl->abandoned; }

bool ProcessTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  impl->ending = false;
  impl->abandoned = false;
  const std::uint64_t run = impl->runs + 1;
  if (impl->kind == ProcessTreeKind::ControlGroup) {
    const PlacedStart result = impl->controlGroups.Start(image, arguments, started, run);
    impl->abandoned = result == PlacedStart::TimedOut;
    if (result == PlacedStart::Started || result == PlacedStart::TimedOut) impl->runs = run;
    if (result != PlacedStart::Refused && result != PlacedStart::GroupRefused) return result == PlacedStart::Started;
    impl->alone = result == PlacedStart::GroupRefused;
    impl->fallback = impl->alone ? L"its control groups refuse to take a process: " + ErrnoText(errno)
                                 : L"the kernel refuses to start a process in a control group: " + ErrnoText(errno);
    impl->kind = ProcessTreeKind::ProcessGroup;
  }
  if (!impl->processGroups.Start(image, arguments, started, run)) return false;
  impl->runs = run;
  return true;
}

TreeState ProcessTree::State() const {
  const TreeState groups = impl->controlGroups.State();
  return impl->processGroups.HoldsGroups() ? TreeState::Populated : groups;
}

void ProcessTree::Refresh() const { RefreshTrees(*impl->set, {this}); }

std::optional<std::vector<std::uint32_t>> ProcessTree::ProcessIds() const { return ProcessIdsOfRuns(impl->runs); }

std::uint64_t ProcessTree::Runs() const { return impl->runs; }

std::optional<std::vector<std::uint32_t>> ProcessTree::ProcessIdsOfRuns(std::uint64_t runs) const {
  std::vector<std::uint32_t> ids;
  if (!impl->controlGroups.AppendIds(ids, runs)) return std::nullopt;
  if (impl->processGroups.HoldsGroups()) {
    const std::shared_ptr<const ProcessStats> look = impl->set->Look();
    if (!look) return std::nullopt;
    impl->processGroups.AppendIds(*look, ids, runs);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

TreeState ProcessTree::WaitUntilEmpty(std::uint32_t ms) const { return WaitUntilTreesEmpty(*impl->set, {this}, ms); }

// Every group is ended in one step, so that no member can start another
// meanwhile; a wait that follows ends again what survives it (a member
// whose other thread started a process as the end came, say).
bool ProcessTree::Terminate(std::uint32_t) {
  impl->ending = true;
  const bool groups = impl->controlGroups.Terminate();
  return impl->processGroups.Terminate() && groups;
}

// Control groups count what their ended processes used; process groups only
// what their members had used when last seen.
ProcessTreeUsage ProcessTree::ReadUsage() const {
  ProcessTreeUsage usage;
  std::optional<CpuTimes> cpu = impl->controlGroups.Cpu();
  const bool members = impl->processGroups.HoldsGroups() || impl->processGroups.HasSeenMembers();
  if (cpu && members) {
    const std::shared_ptr<const ProcessStats> stats = impl->set->Look();
    if (stats) {
      const CpuTimes used = impl->processGroups.Cpu(*stats);
      cpu->userMs += used.userMs;
      cpu->kernelMs += used.kernelMs;
    } else {
      cpu.reset();
    }
  }
  if (cpu) {
    usage.userMs = cpu->userMs;
    usage.kernelMs = cpu->kernelMs;
  }
  if (!members) {
    usage.peakMemoryBytes = impl->controlGroups.PeakMemoryBytes();
  }
  return usage;
}

// One round: control groups go once empty, and the process groups of all
// the trees are told with one look.
void RefreshTrees(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees, bool latestRuns) {
  std::vector<ProcessGroupTree*> withGroups;
  for (const ProcessTree* tree : trees) {
    ProcessTree::Impl& impl = ProcessTreeAccess::Of(*tree);
    impl.controlGroups.Refresh(latestRuns);
    if (impl.processGroups.HoldsGroups()) withGroups.push_back(&impl.processGroups);
  }
  if (withGroups.empty()) return;
  set.BeginRound();
  if (const std::shared_ptr<const ProcessStats> look = set.Look()) ProcessGroupTree::Refresh(withGroups, *look);
  set.EndRound();
}

struct TreesWait::Impl {
  ProcessTreeSet::Impl& set;
  std::vector<const ProcessTree*> trees;
  GroupWatch watch{kWatchedGroups};
};

TreesWait::TreesWait(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees)
    : impl(std::make_unique<Impl>(Impl{set, trees})) {}

TreesWait::~TreesWait() = default;

// Waits on the cgroup.events of every group that holds a process, deciding
// from what each round read, looking again every kLookMs where no signal
// tells: true once all are empty.
bool TreesWait::Await(std::uint32_t ms) {
  bool looksAgain = false;
  impl->watch.BeginRound();
  for (const ProcessTree* tree : impl->trees) {
    ProcessTree::Impl& treeImpl = ProcessTreeAccess::Of(*tree);
    if (treeImpl.ending) {
      treeImpl.controlGroups.Terminate();
      treeImpl.processGroups.Terminate();
    }
    looksAgain = looksAgain || treeImpl.ending || treeImpl.processGroups.HoldsGroups();
    treeImpl.controlGroups.Watch(impl->watch);
  }
  impl->watch.EndRound();
  looksAgain = looksAgain || impl->watch.Unwatched();
  std::vector<pollfd> watched = impl->watch.Polled();
  const bool anyRuns = !watched.empty() || looksAgain;
  const std::uint32_t waitMs = looksAgain ? std::min(ms, kLookMs) : ms;
  if (!anyRuns || waitMs == 0) {
  } else if (watched.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  } else {
    ::poll(watched.data(), watched.size(), static_cast<int>(waitMs));
  }
  RefreshTrees(impl->set, impl->trees);
  return std::all_of(impl->trees.begin(), impl->trees.end(),
                     [](const ProcessTree* tree) { return tree->State() == TreeState::Empty; });
}

}  // namespace xplat
