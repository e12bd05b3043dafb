// A control group where the caller may make one beneath its own, else a
// process group for each program started in the tree.

#include "xplat/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <sstream>

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/kernel_file.h"
#include "xplat/posix/poll_readable.h"
#include "xplat/posix/process_handle_impl.h"
#include "xplat/posix/spawn_placement.h"
#include "xplat/text.h"

namespace xplat {
namespace {

// What /proc/<pid>/stat tells of a process (the fields after its name).
struct ProcessStat {
  char state = '?';
  pid_t processGroup = 0;
  std::uint64_t userTicks = 0;
  std::uint64_t kernelTicks = 0;
};

std::optional<ProcessStat> ReadProcessStat(pid_t process) {
  const std::optional<std::string> text = ReadKernelFile("/proc/" + std::to_string(process) + "/stat");
  const std::size_t nameEnd = text ? text->rfind(')') : std::string::npos;
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(text->substr(nameEnd + 1));
  ProcessStat stat;
  pid_t parent = 0;
  std::string skipped;
  fields >> stat.state >> parent >> stat.processGroup;
  for (int field = 6; field < 14; ++field) fields >> skipped;
  fields >> stat.userTicks >> stat.kernelTicks;
  if (!fields) return std::nullopt;
  return stat;
}

// The process's peak resident memory, as its own status tells.
std::uint64_t PeakMemoryBytes(pid_t process) {
  const std::optional<std::string> status = ReadKernelFile("/proc/" + std::to_string(process) + "/status");
  const std::size_t line = status ? status->find("\nVmHWM:") : std::string::npos;
  if (line == std::string::npos) return 0;
  std::uint64_t kilobytes = 0;
  std::istringstream(status->substr(line + 7)) >> kilobytes;
  return kilobytes * 1024;
}

std::optional<std::uint64_t> StatValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string name;
  std::uint64_t value = 0;
  while (lines >> name >> value) {
    if (name == key) return value;
  }
  return std::nullopt;
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

// Where this process's trees go: beneath its own control group, found by
// its entry in /proc/self/cgroup and checked to hold this process.
struct TreesPlace {
  std::string mount;     // of the cgroup v2 hierarchy
  std::string relative;  // the trees' folder beneath the mount
};

// What services that are gone left beneath the group: trees whose hosts
// outlived their service, empty now. A folder that still holds a process
// cannot be removed, and is not.
void RemoveEmptyTreesOfEndedServices(const std::string& ownFolder) {
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(ownFolder.c_str()), ::closedir);
  if (!folder) return;
  const std::string prefix = "custodex-";
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) continue;
    if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
    const std::string service = name.substr(prefix.size());
    if (::access(("/proc/" + service).c_str(), F_OK) == 0) continue;  // still running, or its id reused
    const std::string trees = ownFolder + "/" + name;
    if (const std::unique_ptr<DIR, int (*)(DIR*)> inner(::opendir(trees.c_str()), ::closedir); inner) {
      while (const dirent* tree = ::readdir(inner.get())) {
        if (std::string(tree->d_name).rfind("qvhost-", 0) == 0) ::rmdir((trees + "/" + tree->d_name).c_str());
      }
    }
    ::rmdir(trees.c_str());
  }
}

std::optional<TreesPlace> FindTreesPlace() {
  const std::optional<std::string> mount = ControlGroupMount();
  const std::optional<std::string> groups = ReadKernelFile("/proc/self/cgroup");
  if (!mount || !groups) return std::nullopt;
  const std::size_t line = groups->find("0::/");
  if (line == std::string::npos || (line != 0 && (*groups)[line - 1] != '\n')) return std::nullopt;
  std::string own = groups->substr(line + 3);
  own.erase(std::min(own.find('\n'), own.size()));
  if (own == "/") own.clear();
  const std::optional<std::string> members = ReadKernelFile(*mount + own + "/cgroup.procs");
  std::istringstream ids(members ? *members : std::string());
  for (pid_t id = 0; ids >> id;) {
    if (id != ::getpid()) continue;
    RemoveEmptyTreesOfEndedServices(*mount + own);
    return TreesPlace{*mount, own + "/custodex-" + std::to_string(::getpid())};
  }
  return std::nullopt;
}

const std::optional<TreesPlace>& Place() {
  static const std::optional<TreesPlace> place = FindTreesPlace();
  return place;
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

// The group's folder, made with the trees' folder above it where missing.
FileDescriptor OpenControlGroup(const std::string& folder) {
  if (!MakeFolder(folder.substr(0, folder.rfind('/'))) || !MakeFolder(folder)) return FileDescriptor();
  return FileDescriptor(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

struct ProcessTree::Impl {
  explicit Impl(ProcessTreeKind treeKind) : kind(treeKind) {}
  // Removing fails, as it should, while processes remain.
  ~Impl() {
    if (folder.empty()) return;
    ::rmdir(folder.c_str());
    ::rmdir(folder.substr(0, folder.rfind('/')).c_str());
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  std::vector<pid_t> ControlGroupMembers() const {
    const std::optional<std::string> text = ReadKernelFile(folder + "/cgroup.procs");
    std::vector<pid_t> members;
    std::istringstream ids(text ? *text : std::string());
    for (pid_t id = 0; ids >> id;) members.push_back(id);
    return members;
  }

  // A group found empty is dropped at once: its id may go to another process.
  std::vector<pid_t> ProcessGroupMembers() const {
    std::vector<pid_t> members;
    std::vector<pid_t> seen;
    for (const pid_t process : ListProcesses()) {
      const std::optional<ProcessStat> stat = ReadProcessStat(process);
      if (!stat || stat->state == 'Z') continue;
      if (std::find(groups.begin(), groups.end(), stat->processGroup) == groups.end()) continue;
      members.push_back(process);
      seen.push_back(stat->processGroup);
    }
    groups.erase(std::remove_if(groups.begin(), groups.end(),
                                [&](pid_t group) { return std::find(seen.begin(), seen.end(), group) == seen.end(); }),
                 groups.end());
    return members;
  }

  bool Holds(pid_t process) const {
    if (kind == ProcessTreeKind::ProcessGroup) {
      const std::optional<ProcessStat> stat = ReadProcessStat(process);
      return stat && std::find(groups.begin(), groups.end(), stat->processGroup) != groups.end();
    }
    const std::optional<std::string> entry = ReadKernelFile("/proc/" + std::to_string(process) + "/cgroup");
    return entry && entry->find("0::" + relative + "\n") != std::string::npos;
  }

  const ProcessTreeKind kind;
  std::string folder;           // a control group's
  std::string relative;         // the same beneath the hierarchy's mount
  FileDescriptor controlGroup;  // the same folder, opened for clone3
  mutable std::vector<pid_t> groups;
};

ProcessTree::ProcessTree() = default;
ProcessTree::~ProcessTree() = default;
ProcessTree::ProcessTree(ProcessTree&&) noexcept = default;
ProcessTree& ProcessTree::operator=(ProcessTree&&) noexcept = default;

ProcessTree ProcessTree::Create(const std::wstring& name, bool processGroup) {
  ProcessTree tree;
  const std::string leaf = ToUtf8(name);
  const std::optional<TreesPlace>& place = Place();
  if (!processGroup && CanCloneIntoControlGroup() && place && !leaf.empty() && leaf.find('/') == std::string::npos) {
    const std::string relative = place->relative + "/qvhost-" + leaf;
    const std::string folder = place->mount + relative;
    FileDescriptor opened = OpenControlGroup(folder);
    if (opened) {
      tree.impl = std::make_unique<Impl>(ProcessTreeKind::ControlGroup);
      tree.impl->folder = folder;
      tree.impl->relative = relative;
      tree.impl->controlGroup = std::move(opened);
      return tree;
    }
  }
  tree.impl = std::make_unique<Impl>(ProcessTreeKind::ProcessGroup);
  return tree;
}

ProcessTreeKind ProcessTree::Kind() const { return impl->kind; }

// A group removed from outside while it was empty is made anew once: clone3
// then fails with ENOENT (as does a missing image, which fails again).
bool ProcessTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  SpawnPlacement placement;
  placement.controlGroup = impl->controlGroup ? impl->controlGroup.Get() : -1;
  placement.leadsProcessGroup = impl->kind == ProcessTreeKind::ProcessGroup;
  if (!StartPlacedProgram(image, arguments, placement, started)) {
    if (placement.controlGroup < 0 || (errno != ENOENT && errno != ENODEV)) return false;
    impl->controlGroup = OpenControlGroup(impl->folder);
    placement.controlGroup = impl->controlGroup ? impl->controlGroup.Get() : -1;
    if (placement.controlGroup < 0 || !StartPlacedProgram(image, arguments, placement, started)) return false;
  }
  if (placement.leadsProcessGroup) impl->groups.push_back(static_cast<pid_t>(started.processId));
  return true;
}

std::vector<std::uint32_t> ProcessTree::ProcessIds() const {
  const std::vector<pid_t> members =
      impl->kind == ProcessTreeKind::ControlGroup ? impl->ControlGroupMembers() : impl->ProcessGroupMembers();
  std::vector<std::uint32_t> ids(members.begin(), members.end());
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Opened first, then checked: a process id reused meanwhile is never taken
// for a member, and one that has ended (a zombie) is none.
ProcessHandle ProcessTree::OpenMember(std::uint32_t processId) const {
  ProcessHandle member = OpenProcessForWaiting(processId);
  if (!member || PollReadable(ProcessAccess::PidFd(member), 0) != PollResult::TimedOut) return ProcessHandle();
  return impl->Holds(static_cast<pid_t>(processId)) ? std::move(member) : ProcessHandle();
}

// A group or a control group is ended in one step, so that no worker can
// start another meanwhile; one by one only where cgroup.kill is missing.
bool ProcessTree::Terminate(std::uint32_t) const {
  const std::vector<std::uint32_t> members = ProcessIds();  // also forgets the groups found empty
  if (impl->kind == ProcessTreeKind::ProcessGroup) {
    bool all = true;
    for (const pid_t group : impl->groups) all = (::kill(-group, SIGKILL) == 0 || errno == ESRCH) && all;
    return all;
  }
  if (WriteKernelFile(impl->folder + "/cgroup.kill", "1")) return true;
  bool all = true;
  for (const std::uint32_t processId : members) all = (TerminateProcessById(processId, 0) || errno == ESRCH) && all;
  return all;
}

bool ProcessTree::ReadUsage(ProcessTreeUsage& usage) const {
  const std::vector<std::uint32_t> members = ProcessIds();
  usage = ProcessTreeUsage();
  usage.processes = static_cast<std::uint32_t>(members.size());
  bool read = impl->kind == ProcessTreeKind::ControlGroup;
  if (read) {
    const std::optional<std::string> stat = ReadKernelFile(impl->folder + "/cpu.stat");
    usage.userMs = StatValue(stat.value_or(""), "user_usec").value_or(0) / 1000;
    usage.kernelMs = StatValue(stat.value_or(""), "system_usec").value_or(0) / 1000;
    const std::optional<std::string> peak = ReadKernelFile(impl->folder + "/memory.peak");
    if (peak) {
      usage.peakMemoryBytes = std::stoull("0" + *peak);
      usage.peakMemoryKnown = true;
      return true;
    }
  }
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  for (const std::uint32_t processId : members) {
    const pid_t process = static_cast<pid_t>(processId);
    const std::optional<ProcessStat> stat = ReadProcessStat(process);
    if (!stat) continue;
    if (impl->kind == ProcessTreeKind::ProcessGroup && ticksPerSecond > 0) {
      usage.userMs += stat->userTicks * 1000 / static_cast<std::uint64_t>(ticksPerSecond);
      usage.kernelMs += stat->kernelTicks * 1000 / static_cast<std::uint64_t>(ticksPerSecond);
    }
    usage.peakMemoryBytes += PeakMemoryBytes(process);
    usage.peakMemoryKnown = true;
    read = true;
  }
  return read || members.empty();
}

}  // namespace xplat
