#pragma once
// What the kernel tells of a process in /proc/<pid>/stat, and one look at
// every process of the system, which a status answer shares among all the
// trees it shows.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace xplat {

struct ProcessStat {
  pid_t processId = 0;
  char state = '?';
  pid_t processGroup = 0;
  pid_t session = 0;
  std::uint64_t userTicks = 0;
  std::uint64_t kernelTicks = 0;
  long threads = 0;
  std::uint64_t startTicks = 0;  // after boot: with the id, names one process for good

  // A leader whose first thread ended shows as a zombie while its other
  // threads run: it runs until they have ended too.
  bool Runs() const { return (state != 'Z' && state != 'X') || threads > 1; }
};

// One line of /proc/<pid>/stat; the name in parentheses may hold anything.
std::optional<ProcessStat> ParseProcessStat(const std::string& line);
std::optional<ProcessStat> ReadProcessStat(pid_t process);
// Clock ticks, in which the kernel counts CPU time, as milliseconds.
std::uint64_t TicksToMs(std::uint64_t ticks);
// The real and effective user ids of the process, when both are the caller's.
bool RunsAsCaller(pid_t process);

// Every process /proc lists, read the newest first.
class ProcessStats {
 public:
  // Reads them all; false, with errno, when one that exists could not be
  // read or /proc cannot be listed: what was missed is unknown, not gone.
  bool Read();
  const std::map<pid_t, ProcessStat>& All() const { return stats; }

 private:
  std::map<pid_t, ProcessStat> stats;
};

}  // namespace xplat
