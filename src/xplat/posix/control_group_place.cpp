#include "xplat/posix/control_group_place.h"

#include <dirent.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group.h"
#include "xplat/posix/kernel_file.h"
#include "xplat/posix/process_stat.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr char kServicePrefix[] = "custodex-";
constexpr char kGroupPrefix[] = "qvhost";

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

std::vector<std::string> Subfolders(const std::string& folder) {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, CloseDirectory> listing(::opendir(folder.c_str()));
  while (listing) {
    const dirent* entry = ::readdir(listing.get());
    if (!entry) break;
    const std::string name = entry->d_name;
    if (entry->d_type == DT_DIR && name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Where the cgroup v2 hierarchy is mounted, from the mount table.
std::optional<std::string> ControlGroupMount() {
  const std::optional<std::string> table = ReadKernelFile("/proc/self/mountinfo");
  std::istringstream lines(table ? *table : std::string());
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t separator = line.find(" - cgroup2 ");
    if (separator == std::string::npos) continue;
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint && root == "/") return mountPoint;
  }
  return std::nullopt;
}

// The service's group beneath the mount ("" for the root), from its entry
// in /proc/self/cgroup, checked to hold the service.
std::optional<std::string> OwnGroup(const std::string& mount) {
  const std::optional<std::string> groups = ReadKernelFile("/proc/self/cgroup");
  const std::size_t line = groups ? groups->find("0::/") : std::string::npos;
  if (line == std::string::npos || (line != 0 && (*groups)[line - 1] != '\n')) return std::nullopt;
  std::string own = groups->substr(line + 3);
  own.erase(std::min(own.find('\n'), own.size()));
  if (own == "/") own.clear();
  const std::optional<std::string> members = ReadKernelFile(mount + own + "/cgroup.procs");
  std::istringstream ids(members ? *members : std::string());
  for (pid_t id = 0; ids >> id;) {
    if (id == ::getpid()) return own;
  }
  return std::nullopt;
}

bool HasAttributeOne(const std::string& folder, const char* name) {
  char value[8] = {};
  const ssize_t length = ::getxattr(folder.c_str(), name, value, sizeof value - 1);
  return length > 0 && std::string(value, static_cast<std::size_t>(length)) == "1";
}

std::string ServiceFolderName(pid_t process, std::uint64_t startTicks) {
  return kServicePrefix + std::to_string(process) + "-" + std::to_string(startTicks);
}

TreesPlaceFound Find() {
  TreesPlaceFound found;
  const std::optional<std::string> mount = ControlGroupMount();
  const std::optional<std::string> own = mount ? OwnGroup(*mount) : std::nullopt;
  const std::optional<ProcessStat> self = ReadProcessStat(::getpid());
  if (!CanCloneIntoControlGroup()) {
    found.refusal = L"this machine cannot start a process straight into a control group";
  } else if (!mount) {
    found.refusal = L"no cgroup v2 hierarchy is mounted";
  } else if (!own || !self) {
    found.refusal = L"the service is not found in a control group of the cgroup v2 hierarchy";
  } else if (::access((*mount + *own).c_str(), W_OK) != 0 ||
             ::access((*mount + *own + "/cgroup.procs").c_str(), W_OK) != 0) {
    found.refusal = L"the service may not write to its control group " + FromUtf8(own->empty() ? "/" : *own);
  } else if (IsUndelegatedUnit(*mount + *own)) {
    found.refusal = L"the service's control group " + FromUtf8(*own) + L" belongs to a service manager that has not delegated it";
  } else {
    found.place = TreesPlace{*mount, *own + "/" + ServiceFolderName(::getpid(), self->startTicks)};
  }
  return found;
}

// "custodex-<pid>-<start>" of a service that no longer runs, or this
// service's own (trees of its earlier modules); a running one is left.
bool IsOfEndedServiceOrSelf(const std::string& name, const std::string& own) {
  const std::string rest = name.substr(sizeof kServicePrefix - 1);
  const std::size_t dash = rest.find('-');
  if (dash == std::string::npos || !AllDigits(rest.substr(0, dash)) || !AllDigits(rest.substr(dash + 1))) return false;
  if (name == own) return true;
  const std::optional<ProcessStat> service = ReadProcessStat(static_cast<pid_t>(std::stol(rest.substr(0, dash))));
  return !service || std::to_string(service->startTicks) != rest.substr(dash + 1);
}

}  // namespace

// systemd marks the folder of a unit it delegated.
bool IsUndelegatedUnit(const std::string& folder) {
  const std::string leaf = folder.substr(folder.rfind('/') + 1);
  const auto endsWith = [&](const std::string& suffix) {
    return leaf.size() > suffix.size() && leaf.compare(leaf.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (!endsWith(".service") && !endsWith(".scope")) return false;
  return !HasAttributeOne(folder, "trusted.delegate") && !HasAttributeOne(folder, "user.delegate");
}

const TreesPlaceFound& FindTreesPlace() {
  static const TreesPlaceFound found = Find();
  return found;
}

std::string GroupFolderName(const std::string& hostName, unsigned generation) {
  return kGroupPrefix + (generation == 0 ? std::string() : std::to_string(generation)) + "-" + hostName;
}

std::optional<std::string> HostOfGroupFolder(const std::string& folderName) {
  const std::size_t dash = folderName.find('-');
  if (folderName.rfind(kGroupPrefix, 0) != 0 || dash == std::string::npos || dash + 1 == folderName.size())
    return std::nullopt;
  const std::string generation = folderName.substr(sizeof kGroupPrefix - 1, dash - (sizeof kGroupPrefix - 1));
  if (!generation.empty() && !AllDigits(generation)) return std::nullopt;
  return folderName.substr(dash + 1);
}

// Folders of the services of an earlier version, named by the process id
// alone, are never taken over: only their empty groups go.
std::vector<LeftGroup> CollectLeftGroups(const TreesPlace& place) {
  std::vector<LeftGroup> left;
  const std::string parent = place.trees.substr(0, place.trees.rfind('/'));
  const std::string own = place.trees.substr(place.trees.rfind('/') + 1);
  for (const std::string& service : Subfolders(place.mount + parent)) {
    if (service.rfind(kServicePrefix, 0) != 0) continue;
    const bool legacy = AllDigits(service.substr(sizeof kServicePrefix - 1));
    if (!legacy && !IsOfEndedServiceOrSelf(service, own)) continue;
    const std::string services = parent + "/" + service;
    for (const std::string& group : Subfolders(place.mount + services)) {
      const std::optional<std::string> hostName = HostOfGroupFolder(group);
      const ControlGroup leftGroup(place.mount, services + "/" + group);
      if (!hostName) continue;
      if (leftGroup.State() == TreeState::Empty) {
        leftGroup.Remove();
      } else if (!legacy) {
        left.push_back(LeftGroup{*hostName, services + "/" + group});
      }
    }
    if (service != own) ::rmdir((place.mount + services).c_str());
  }
  return left;
}

}  // namespace xplat
