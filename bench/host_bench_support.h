#pragma once
// What the host manager's benchmarks share: a machine root of their own, the
// agent's registry keys, module lists and policies of many hosts, the floor
// of copying and spawning hosts directly, and the end of every child process
// a benchmark made. Linux only: children are found through /proc.

#include <benchmark/benchmark.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "xplat/process.h"

namespace bench_support {

namespace fs = std::filesystem;

// Runs the benchmarks inside a temporary machine root (registry store,
// common application-data folder, log file, event log), removed afterwards.
// `summary`, when given, runs after the benchmarks.
int RunInTemporaryMachine(int argc, char** argv, const std::function<void()>& summary = nullptr);
const fs::path& MachineFolder();

// The agent's key and its Config key, made afresh. With moduleLogging off,
// the name filter drops every line of the logger "Custodex"; a logger reads
// it when constructed.
void PrepareAgentKeys(bool moduleLogging);
void SetExecutePath(const fs::path& folder);

// "<prefix>00", "<prefix>01", ...
std::vector<std::wstring> HostNames(const std::wstring& prefix, int count);
// ZAVConfig.xml listing the module file once for each host.
std::string ModuleList(const std::vector<std::wstring>& hosts, const std::wstring& moduleFile);
// The policy document: a host element per name.
std::string Policy(const std::vector<std::wstring>& hosts);
void WriteFile(const fs::path& path, const std::string& text);
void WriteModuleList(const std::vector<std::wstring>& hosts, const std::wstring& moduleFile);

fs::path ProgramFolder();
// Where the host manager puts the copy for a host.
fs::path HostImage(const fs::path& folder, const std::wstring& hostName);
// Every file of those hosts in the folder: the copies and what they wrote.
void RemoveHostFiles(const fs::path& folder, const std::vector<std::wstring>& hosts);

// What the system must do to start the hosts at all: copy the host
// executable per host and spawn each copy with the host manager's command line.
bool CopyAndSpawn(const fs::path& folder, const std::vector<std::wstring>& hosts,
                  std::vector<xplat::StartedProcess>& started);
// The floor timed: copy and spawn every host, then end them and remove the
// copies outside the time. Sets `failed` when any copy or start failed.
double TimeCopyAndSpawn(const fs::path& folder, const std::vector<std::wstring>& hosts, bool& failed);
// Kills the processes and reaps them.
void EndProcesses(const std::vector<const xplat::ProcessHandle*>& processes);
void EndProcesses(std::vector<xplat::StartedProcess>& started);

// Child processes of one thread of this process, or of all its threads.
std::vector<pid_t> ChildrenOfThread(pid_t threadId);
std::vector<pid_t> ChildrenOfProcess();
// Kills every child process of this process and reaps it.
void EndChildProcesses();

// Resident memory of this process, in bytes.
std::size_t ResidentBytes();

// A measurement and its floor taken in turns, each iteration both, so that
// other work on the machine weighs on the two alike. The benchmark's time is
// the measurement's; the floor's mean and the ratio of the sums go to counters.
class FloorComparison {
 public:
  // True when this iteration takes the floor first.
  bool FloorFirst() const { return iterations % 2 == 1; }
  void Add(double measuredSeconds, double floorSeconds);
  void Report(benchmark::State& state) const;

 private:
  int iterations = 0;
  double measured = 0;
  double floor = 0;
};

inline double Seconds(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

}  // namespace bench_support
