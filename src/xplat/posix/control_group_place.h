#pragma once
// Where a service's process trees go on Linux: a folder of its own,
// "custodex-<pid>-<start>", beneath its own control group, marked with its
// process id and the time that process started, so that no later process
// given the same id is taken for it. Trees go there only where the service
// may make them: the cgroup v2 hierarchy is mounted, the service is in its
// group there, may write to it, and the group is not a service manager's
// unit that was not delegated to it.

#include <optional>
#include <string>
#include <vector>

namespace xplat {

struct TreesPlace {
  std::string mount;  // the cgroup v2 hierarchy's
  std::string trees;  // this service's folder, beneath the mount
};

// Found once per process: the place, or why there is none.
struct TreesPlaceFound {
  std::optional<TreesPlace> place;
  std::wstring refusal;
};
const TreesPlaceFound& FindTreesPlace();

// Whether the group's folder is a service manager's unit (".service",
// ".scope") that was not delegated to the processes in it.
bool IsUndelegatedUnit(const std::string& folder);

// A group's folder name: "qvhost-<name>", then "qvhost<n>-<name>" for the
// groups made after it; the name follows the first '-'.
std::string GroupFolderName(const std::string& hostName, unsigned generation);
std::optional<std::string> HostOfGroupFolder(const std::string& folderName);

struct LeftGroup {
  std::string hostName;
  std::string relative;  // beneath the mount
};
// The groups that services now gone, or earlier modules of this service,
// left in the place's parent group: those still holding processes. Empty
// ones are removed, and so are the services' folders left empty.
std::vector<LeftGroup> CollectLeftGroups(const TreesPlace& place);

}  // namespace xplat
