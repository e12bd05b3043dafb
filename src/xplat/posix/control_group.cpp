#include "xplat/posix/control_group.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <sstream>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/kernel_file.h"

namespace xplat {
namespace {

std::atomic<bool> groupKillMissing{false};

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// Calls visit for each group beneath the folder; false, with errno, when a
// folder cannot be listed (one removed meanwhile holds none).
bool ForEachSubgroup(const std::string& folder, const std::function<bool(const std::string&)>& visit) {
  const std::unique_ptr<DIR, CloseDirectory> listing(::opendir(folder.c_str()));
  if (!listing) return errno == ENOENT;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (entry->d_type != DT_DIR || name == "." || name == "..") continue;
    if (!visit(folder + "/" + name)) return false;
  }
  return true;
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

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool RemoveEmptyGroups(const std::string& folder) {
  ForEachSubgroup(folder, RemoveEmptyGroups);
  return ::rmdir(folder.c_str()) == 0 || errno == ENOENT;
}

// A thread's process, from its status.
std::optional<pid_t> ThreadGroupOf(pid_t thread) {
  const std::optional<std::string> status = ReadKernelFile("/proc/" + std::to_string(thread) + "/status");
  const std::size_t line = status ? status->find("\nTgid:") : std::string::npos;
  pid_t process = 0;
  if (line == std::string::npos || !(std::istringstream(status->substr(line + 6)) >> process)) return std::nullopt;
  return process;
}

struct Member {
  pid_t thread;  // the id the group lists: the process's own, or one of its threads'
  pid_t process;
};

// A threaded group lists no processes (EOPNOTSUPP): its threads name them.
bool AppendMembers(const std::string& folder, std::vector<Member>& members) {
  std::optional<std::string> text = ReadKernelFile(folder + "/cgroup.procs");
  const bool threaded = !text && errno == EOPNOTSUPP;
  if (threaded) text = ReadKernelFile(folder + "/cgroup.threads");
  if (!text) return errno == ENOENT;  // removed meanwhile: it held none
  std::istringstream ids(*text);
  for (pid_t id = 0; ids >> id;) {
    const std::optional<pid_t> process = threaded ? ThreadGroupOf(id) : id;
    if (process) members.push_back(Member{id, *process});
  }
  return ForEachSubgroup(folder, [&](const std::string& subgroup) { return AppendMembers(subgroup, members); });
}

TreeState StateOfEvents(const std::string& events) {
  const std::optional<std::uint64_t> populated = StatValue(events, "populated");
  if (!populated) return TreeState::Unknown;
  return *populated != 0 ? TreeState::Populated : TreeState::Empty;
}

bool SetFrozen(const std::string& folder, bool frozen) {
  return WriteKernelFile(folder + "/cgroup.freeze", frozen ? "1" : "0");
}

}  // namespace

void SetGroupKillMissingForTesting(bool missing) { groupKillMissing = missing; }

// The folder above is made where missing: the trees' folder of a service.
bool ControlGroup::Make() const {
  const std::string folder = Folder();
  return MakeFolder(folder.substr(0, folder.rfind('/'))) && ::mkdir(folder.c_str(), 0755) == 0;
}

bool ControlGroup::Remove() const { return RemoveEmptyGroups(Folder()); }

TreeState ControlGroup::State() const {
  const std::optional<std::string> events = ReadKernelFile(Folder() + "/cgroup.events");
  if (!events) return errno == ENOENT ? TreeState::Empty : TreeState::Unknown;
  return StateOfEvents(*events);
}

std::optional<std::vector<pid_t>> ControlGroup::Members() const {
  std::vector<Member> members;
  if (!AppendMembers(Folder(), members)) return std::nullopt;
  std::vector<pid_t> processes;
  for (const Member& member : members) processes.push_back(member.process);
  std::sort(processes.begin(), processes.end());
  processes.erase(std::unique(processes.begin(), processes.end()), processes.end());
  return processes;
}

bool ControlGroup::Holds(pid_t thread) const {
  const std::optional<std::string> entry = ReadKernelFile("/proc/" + std::to_string(thread) + "/cgroup");
  const std::size_t line = entry ? entry->find("0::" + relative) : std::string::npos;
  if (line == std::string::npos || (line != 0 && (*entry)[line - 1] != '\n')) return false;
  const char after = (*entry)[line + 3 + relative.size()];
  return after == '\n' || after == '/';
}

// What can be listed is ended even where a part cannot be.
bool ControlGroup::KillMembers() const {
  std::vector<Member> members;
  const bool listed = AppendMembers(Folder(), members);
  bool all = listed;
  for (const Member& member : members) {
    const FileDescriptor pidfd(::pidfd_open(member.process, 0));
    if (!pidfd) continue;  // ended meanwhile
    // Opened first, then checked: the pidfd holds the process the check names.
    if (!Holds(member.thread) || (member.thread != member.process && ThreadGroupOf(member.thread) != member.process))
      continue;
    all = (::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0) == 0 || errno == ESRCH) && all;
  }
  return all;
}

// cgroup.kill leaves a leader whose first thread ended with its other
// threads running; its pidfd ends them all. Frozen, a group starts nothing
// while its members are ended one by one; what a member was starting as the
// freeze came is frozen at birth, and found by the second round.
bool ControlGroup::Kill() const {
  const std::string folder = Folder();
  if (!groupKillMissing && WriteKernelFile(folder + "/cgroup.kill", "1")) {
    KillMembers();
    return true;
  }
  if (State() == TreeState::Empty) return true;
  const bool frozen = SetFrozen(folder, true);
  const bool ended = KillMembers() && KillMembers();
  if (frozen) SetFrozen(folder, false);
  return ended;
}

std::optional<CpuTimes> ControlGroup::Cpu() const {
  const std::optional<std::string> stat = ReadKernelFile(Folder() + "/cpu.stat");
  const std::optional<std::uint64_t> user = stat ? StatValue(*stat, "user_usec") : std::nullopt;
  const std::optional<std::uint64_t> system = stat ? StatValue(*stat, "system_usec") : std::nullopt;
  if (!user || !system) return std::nullopt;
  return CpuTimes{*user / 1000, *system / 1000};
}

std::optional<std::uint64_t> ControlGroup::PeakMemoryBytes() const {
  const std::optional<std::string> peak = ReadKernelFile(Folder() + "/memory.peak");
  std::uint64_t bytes = 0;
  if (!peak || !(std::istringstream(*peak) >> bytes)) return std::nullopt;
  return bytes;
}

ControlGroup::WatchedEvents ControlGroup::OpenEvents() const {
  WatchedEvents watched;
  watched.events = FileDescriptor(::open((Folder() + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC));
  if (!watched.events) {
    if (errno == ENOENT) watched.state = TreeState::Empty;
    return watched;
  }
  watched.state = ReadEvents(watched.events);
  if (watched.state == TreeState::Unknown) watched.events.Close();
  return watched;
}

// Reading from the start again both tells the state and arms the next poll.
TreeState ControlGroup::ReadEvents(const FileDescriptor& events) {
  char bytes[256];
  const ssize_t read = ::pread(events.Get(), bytes, sizeof bytes, 0);
  if (read < 0) return TreeState::Unknown;
  return StateOfEvents(std::string(bytes, static_cast<std::size_t>(read)));
}

}  // namespace xplat
