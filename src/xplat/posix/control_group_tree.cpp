#include "xplat/posix/control_group_tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace xplat {
namespace {

constexpr unsigned kGroupNameTries = 1000;
// A start refused in a group of its own is tried once more in another.
constexpr int kStartAttempts = 2;

std::atomic<unsigned> nextGeneration{1};

}  // namespace

ControlGroupTree::~ControlGroupTree() {
  for (const Group& held : groups) Remove(held.group);
}

void ControlGroupTree::Adopt(std::shared_ptr<ServiceFolder> groupFolder, const std::string& relative) {
  const std::string mount = groupFolder->Mount();
  groups.push_back(Group{std::move(groupFolder), ControlGroup(mount, relative), 0});
}

std::optional<ControlGroup> ControlGroupTree::MakeGroup() {
  for (unsigned tries = 0; tries < kGroupNameTries; ++tries) {
    ControlGroup group(folder->Mount(), folder->Relative() + "/" + GroupFolderName(name, nextGeneration++));
    if (::mkdir(group.Folder().c_str(), 0755) == 0) return group;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

PlacedStart ControlGroupTree::StartIn(const ControlGroup& group, const std::wstring& image,
                                      const std::wstring& arguments, StartedProcess& started) {
  // Opened only around the start: a host costs no descriptor beyond its own.
  const FileDescriptor opened(::open(group.Folder().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!opened) return errno == ENOENT ? PlacedStart::GroupGone : PlacedStart::Failed;
  SpawnPlacement placement;
  placement.controlGroup = opened.Get();
  return StartPlacedProgram(image, arguments, placement, started);
}

// A group removed from outside, or one that refused, is followed by another
// made after the folder's empty groups went, whichever tree's: an empty
// threaded group, say, makes its siblings unusable until it goes.
PlacedStart ControlGroupTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started,
                                    std::uint64_t run) {
  PlacedStart result = PlacedStart::GroupRefused;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    const std::optional<ControlGroup> group = MakeGroup();
    if (!group) return PlacedStart::GroupRefused;
    result = StartIn(*group, image, arguments, started);
    if (result == PlacedStart::Started || result == PlacedStart::TimedOut) {
      Refresh();  // after the start, which it does not hold back: the earlier runs' empty groups go
      groups.push_back(Group{folder, *group, run});
      latestRun = run;
      return result;
    }
    const int error = errno;
    group->Remove();
    errno = error;
    if (result != PlacedStart::GroupGone && result != PlacedStart::GroupRefused) return result;
    Refresh();
    folder->RemoveEmptyGroups();
    errno = error;
  }
  return PlacedStart::GroupRefused;
}

TreeState ControlGroupTree::State() const {
  bool unknown = false;
  for (const Group& held : groups) {
    const TreeState state = held.group.State();
    if (state == TreeState::Populated) return state;
    unknown = unknown || state == TreeState::Unknown;
  }
  return unknown ? TreeState::Unknown : TreeState::Empty;
}

bool ControlGroupTree::AppendIds(std::vector<std::uint32_t>& ids, std::uint64_t lastRun) const {
  for (const Group& held : groups) {
    if (held.run > lastRun) continue;
    const std::optional<std::vector<pid_t>> members = held.group.Members();
    if (!members) return false;
    ids.insert(ids.end(), members->begin(), members->end());
  }
  return true;
}

bool ControlGroupTree::Terminate() const {
  bool all = true;
  for (const Group& held : groups) all = held.group.Kill() && all;
  return all;
}

void ControlGroupTree::Remove(const ControlGroup& group) {
  if (const std::optional<CpuTimes> cpu = group.Cpu()) {
    removedCpu.userMs += cpu->userMs;
    removedCpu.kernelMs += cpu->kernelMs;
  }
  group.Remove();
  ++removedGroups;
}

void ControlGroupTree::Refresh(bool latestToo) {
  groups.erase(std::remove_if(groups.begin(), groups.end(),
                              [&](const Group& held) {
                                if (!latestToo && held.run == latestRun && held.run != 0) return false;
                                if (held.group.State() != TreeState::Empty) return false;
                                Remove(held.group);
                                return true;
                              }),
               groups.end());
}

void ControlGroupTree::Watch(GroupWatch& watch) const {
  for (const Group& held : groups) watch.Watch(held.group);
}

std::optional<CpuTimes> ControlGroupTree::Cpu() const {
  CpuTimes cpu = removedCpu;
  for (const Group& held : groups) {
    const std::optional<CpuTimes> times = held.group.Cpu();
    if (!times) return std::nullopt;
    cpu.userMs += times->userMs;
    cpu.kernelMs += times->kernelMs;
  }
  return cpu;
}

std::optional<std::uint64_t> ControlGroupTree::PeakMemoryBytes() const {
  if (groups.size() != 1 || removedGroups != 0) return std::nullopt;
  return groups.front().group.PeakMemoryBytes();
}

}  // namespace xplat
