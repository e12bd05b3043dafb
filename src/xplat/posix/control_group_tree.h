#pragma once
// A tree of control groups in a service's folder. Each start goes into a
// group made for it, so that no control file of a group a host ran in is
// trusted again: a host may have frozen it, made it threaded or removed its
// kill file. The groups of earlier runs stay in the tree while they hold a
// process, and go once empty.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xplat/posix/control_group.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/group_watch.h"
#include "xplat/posix/service_folder.h"
#include "xplat/posix/spawn_placement.h"

namespace xplat {

class ControlGroupTree {
 public:
  ControlGroupTree(std::shared_ptr<ServiceFolder> folder, std::string name)
      : folder(std::move(folder)), name(std::move(name)) {}
  // Empty groups go; what holds a process stays, for the next service.
  ~ControlGroupTree();
  ControlGroupTree(ControlGroupTree&&) noexcept = default;
  ControlGroupTree& operator=(ControlGroupTree&&) noexcept = default;

  // A group an ended service left, its folder locked.
  void Adopt(std::shared_ptr<ServiceFolder> groupFolder, const std::string& relative);
  // Refused (the kernel's, for every tree) and GroupRefused (two groups
  // made for the start refused it, or none can be made) leave no process.
  // `run` numbers the group made, for AppendIds.
  PlacedStart Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started,
                    std::uint64_t run);

  // A group that holds a process decides; one that cannot be read says only
  // that nothing can be told.
  TreeState State() const;
  // The members of the groups of runs up to `lastRun` (adopted ones are
  // run 0); false when a list cannot be read.
  bool AppendIds(std::vector<std::uint32_t>& ids, std::uint64_t lastRun) const;
  bool Terminate() const;
  // The empty groups go, keeping their CPU time; without latestToo, those
  // of earlier runs alone.
  void Refresh(bool latestToo = true);

  // Asks the watch for every group of the tree.
  void Watch(GroupWatch& watch) const;
  std::optional<CpuTimes> Cpu() const;
  // Only where one group has held the whole tree all its life.
  std::optional<std::uint64_t> PeakMemoryBytes() const;

 private:
  struct Group {
    std::shared_ptr<ServiceFolder> folder;  // locked while the group is held
    ControlGroup group;
    std::uint64_t run = 0;
  };
  std::uint64_t latestRun = 0;  // of the last group made for a start

  std::optional<ControlGroup> MakeGroup();
  PlacedStart StartIn(const ControlGroup& group, const std::wstring& image, const std::wstring& arguments,
                      StartedProcess& started);
  void Remove(const ControlGroup& group);

  std::shared_ptr<ServiceFolder> folder;  // where starts go
  std::string name;
  std::vector<Group> groups;
  CpuTimes removedCpu;
  std::size_t removedGroups = 0;
};

}  // namespace xplat
