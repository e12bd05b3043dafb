#include "xplat/posix/control_group_place.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <limits>
#include <sstream>

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/kernel_file.h"
#include "xplat/text.h"

namespace xplat {
namespace {

constexpr char kServicePrefix[] = "custodex-";
constexpr char kGroupPrefix[] = "qvhost";

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

TreesPlaceFound Find() {
  TreesPlaceFound found;
  const std::optional<std::string> mount = ControlGroupMount();
  const std::optional<std::string> own = mount ? OwnGroup(*mount) : std::nullopt;
  if (!CanCloneIntoControlGroup()) {
    found.refusal = L"this machine cannot start a process straight into a control group";
  } else if (!mount) {
    found.refusal = L"no cgroup v2 hierarchy is mounted";
  } else if (!own) {
    found.refusal = L"the service is not found in a control group of the cgroup v2 hierarchy";
  } else if (::access((*mount + *own).c_str(), W_OK) != 0 ||
             ::access((*mount + *own + "/cgroup.procs").c_str(), W_OK) != 0) {
    found.refusal = L"the service may not write to its control group " + FromUtf8(own->empty() ? "/" : *own);
  } else if (IsUndelegatedUnit(*mount + *own)) {
    found.refusal = L"the service's control group " + FromUtf8(*own) + L" belongs to a service manager that has not delegated it";
  } else {
    found.place = TreesPlace{*mount, *own};
  }
  return found;
}

// One field of a name: digits only, within the type's range.
template <typename Number>
bool ParseNumber(const std::string& text, Number& number) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  return !text.empty() && text[0] != '-' && error == std::errc() && stop == end;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
    fields.push_back(text.substr(start, end - start));
  }
  fields.push_back(text.substr(start));
  return fields;
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

// FNV-1a over the install's UTF-8 name: a name, not a secret.
std::string InstallTag(const std::wstring& install) { return NameHash(install); }

std::string FormatServiceFolderName(const ServiceFolderName& name) {
  return kServicePrefix + name.install + "-" + std::to_string(name.process) + "-" + std::to_string(name.startTicks) +
         "-" + std::to_string(name.serial);
}

bool IsServiceFolderName(const std::string& folderName) { return folderName.rfind(kServicePrefix, 0) == 0; }

std::optional<ServiceFolderName> ParseServiceFolderName(const std::string& folderName) {
  if (!IsServiceFolderName(folderName)) return std::nullopt;
  const std::vector<std::string> fields = Split(folderName.substr(sizeof kServicePrefix - 1), '-');
  ServiceFolderName name;
  if (fields.size() != 4 || fields[0].size() != 16 ||
      fields[0].find_first_not_of("0123456789abcdef") != std::string::npos || !ParseNumber(fields[1], name.process) ||
      name.process <= 0 || !ParseNumber(fields[2], name.startTicks) || !ParseNumber(fields[3], name.serial)) {
    return std::nullopt;
  }
  name.install = fields[0];
  return name;
}

std::string GroupFolderName(const std::string& hostName, unsigned generation) {
  return kGroupPrefix + std::to_string(generation) + "-" + hostName;
}

std::optional<std::string> HostOfGroupFolder(const std::string& folderName) {
  const std::size_t dash = folderName.find('-');
  if (folderName.rfind(kGroupPrefix, 0) != 0 || dash == std::string::npos || dash + 1 == folderName.size())
    return std::nullopt;
  const std::string generation = folderName.substr(sizeof kGroupPrefix - 1, dash - (sizeof kGroupPrefix - 1));
  unsigned number = 0;
  if (!generation.empty() && !ParseNumber(generation, number)) return std::nullopt;
  return folderName.substr(dash + 1);
}

}  // namespace xplat
