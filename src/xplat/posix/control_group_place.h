#pragma once
// Where a service's process trees go on Linux: beneath its own control
// group, in a folder of its own that it holds locked for its whole life
// (service_folder.h). The folder's name carries the install, so that one
// install never touches another's trees: "custodex-<install>-<pid>-<start>-
// <n>", the install a hash of its program folder, the rest only for people
// reading it. Trees go there only where the service may make them: the
// cgroup v2 hierarchy is mounted, the service is in its group there, may
// write to it, and the group is not a service manager's unit that was not
// delegated to it.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace xplat {

struct TreesPlace {
  std::string mount;  // the cgroup v2 hierarchy's
  std::string group;  // the service's own group, beneath the mount ("" for the root)
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

// A short hash of what names the install (its program folder).
std::string InstallTag(const std::wstring& install);

struct ServiceFolderName {
  std::string install;
  pid_t process = 0;
  std::uint64_t startTicks = 0;
  unsigned serial = 0;
};
std::string FormatServiceFolderName(const ServiceFolderName& name);
// Empty for a name of another form, or whose numbers do not fit.
std::optional<ServiceFolderName> ParseServiceFolderName(const std::string& folderName);
bool IsServiceFolderName(const std::string& folderName);  // of the form's prefix, parsed or not

// A tree's group folder name: "qvhost<n>-<name>"; the name follows the first '-'.
std::string GroupFolderName(const std::string& hostName, unsigned generation);
std::optional<std::string> HostOfGroupFolder(const std::string& folderName);

}  // namespace xplat
