#include "xplat/posix/process_stat.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

#include "xplat/posix/file_descriptor.h"
#include "xplat/posix/kernel_file.h"

namespace xplat {
namespace {

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

std::optional<pid_t> ProcessIdOf(const char* name) {
  if (*name < '1' || *name > '9') return std::nullopt;
  for (const char* digit = name; *digit; ++digit) {
    if (*digit < '0' || *digit > '9') return std::nullopt;
  }
  return static_cast<pid_t>(std::stol(name));
}

}  // namespace

// Fields after the name: 3 state, 4 parent, 5 group, 6 session, 7-13 the
// terminal, flags and faults, 14 user time, 15 system time, 16-19 children's
// times, priority and nice, 20 threads, 21 unused, 22 start time. Read
// without streams: a look reads every process of the system.
std::optional<ProcessStat> ParseProcessStat(const std::string& line) {
  const std::size_t nameEnd = line.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 2 >= line.size()) return std::nullopt;
  ProcessStat stat;
  char* end = nullptr;
  stat.processId = static_cast<pid_t>(std::strtol(line.c_str(), &end, 10));
  const char* field = line.c_str() + nameEnd + 2;
  stat.state = *field++;
  long long numbers[20] = {};  // fields 4 to 22
  for (long long& number : numbers) {
    errno = 0;
    number = std::strtoll(field, &end, 10);
    if (end == field || errno == ERANGE) return std::nullopt;
    field = end;
  }
  stat.processGroup = static_cast<pid_t>(numbers[5 - 4]);
  stat.session = static_cast<pid_t>(numbers[6 - 4]);
  stat.userTicks = static_cast<std::uint64_t>(numbers[14 - 4]);
  stat.kernelTicks = static_cast<std::uint64_t>(numbers[15 - 4]);
  stat.threads = static_cast<long>(numbers[20 - 4]);
  stat.startTicks = static_cast<std::uint64_t>(numbers[22 - 4]);
  if (stat.processId <= 0) return std::nullopt;
  return stat;
}

// The kernel writes the line whole in one read: a name holds 64 bytes at most.
std::optional<ProcessStat> ReadProcessStat(pid_t process) {
  const FileDescriptor fd(::open(("/proc/" + std::to_string(process) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  char bytes[1024];
  const ssize_t read = fd ? ::read(fd.Get(), bytes, sizeof bytes) : -1;
  if (read < 0) return std::nullopt;
  std::optional<ProcessStat> stat = ParseProcessStat(std::string(bytes, static_cast<std::size_t>(read)));
  if (!stat) errno = EINVAL;
  return stat;
}

std::uint64_t TicksToMs(std::uint64_t ticks) {
  static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  return ticksPerSecond > 0 ? ticks * 1000 / static_cast<std::uint64_t>(ticksPerSecond) : 0;
}

bool RunsAsCaller(pid_t process) {
  const std::optional<std::string> status = ReadKernelFile("/proc/" + std::to_string(process) + "/status");
  const std::size_t line = status ? status->find("\nUid:") : std::string::npos;
  if (line == std::string::npos) return false;
  std::istringstream ids(status->substr(line + 5));
  uid_t real = 0;
  uid_t effective = 0;
  return static_cast<bool>(ids >> real >> effective) && real == ::getuid() && effective == ::geteuid();
}

// The newest first: a process that runs briefly and starts the next before
// it ends (a chain) is read the moment after the listing named it.
bool ProcessStats::Read() {
  stats.clear();
  std::vector<pid_t> listed;
  {
    const std::unique_ptr<DIR, CloseDirectory> proc(::opendir("/proc"));
    if (!proc) return false;
    while (const dirent* entry = ::readdir(proc.get())) {
      if (const std::optional<pid_t> process = ProcessIdOf(entry->d_name)) listed.push_back(*process);
    }
  }
  std::sort(listed.rbegin(), listed.rend());
  for (const pid_t process : listed) {
    if (const std::optional<ProcessStat> stat = ReadProcessStat(process)) {
      stats.emplace(process, *stat);
    } else if (errno != ENOENT && errno != ESRCH) {
      return false;  // no descriptor left, say: what was missed is unknown, not gone
    }
  }
  return true;
}

}  // namespace xplat
