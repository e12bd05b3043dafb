// How fast and how cheaply the host manager supervises, with its features on
// and by default, in one run. A portable program (Linux, and Windows under
// Wine), not a Google Benchmark one:
//
//   custodex-supervision-bench restart [--hosts 64] [--kills 200] [--default-kills 3] [--image idle|qvhost]
//                                      [--trees [--process-groups] | --events | --scale 500]
//   custodex-supervision-bench crash-loop [--seconds 600] [--without-back-off-seconds 60] [--events]
//
// restart: 64 hosts, each external kill timed from the old process's end (a
// wait on it returns) to the new process's own start stamp (start_stamp.h),
// with wake on host exit, and with the default 30-second wake-up. The image
// is the idle host (the cheapest program) or the real qvhost.exe stand-in;
// either is copied per restart, as always. Logging at level 200. With
// --trees, a module with process trees and one without take their kills in
// turns, beside the floor and the same floor started in a process tree;
// --process-groups (Linux) makes every tree one of process groups.
// With --events, a module with host events and one without, in turns, and a
// subscriber that takes every record as it comes. With --scale N (more than
// --hosts), a module among N hosts beside one among --hosts, in turns, the
// kills in each among as many hosts: what more hosts cost the module's
// thread a restart.
// crash-loop: one host that ends at once every time, with wake on host exit;
// the CPU this process uses over the period, with the restart back-off and
// without it. With --events, its module posts host events to the same
// subscriber: the records heard and this process's resident memory.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>

#include "xplat/posix/clone_into_cgroup.h"
#endif
#if defined(_WIN32)
#include <windows.h>
// after windows.h
#include <psapi.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

#include "hosts/custodex.h"
#include "hosts/supervision/host_runs.h"
#include "module/broker_binding.h"
#include "module_machine.h"
#include "xplat/clock.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/process_tree.h"
#include "xplat/text.h"

namespace {

using namespace std::chrono_literals;
using module_bench::AwaitUntil;
using module_bench::HostNames;
using module_bench::Latencies;
using module_bench::Machine;
using module_bench::ModuleRun;
using module_bench::Stamps;
using module_bench::Summarise;
using module_bench::TimeRestartAfterKill;

constexpr double kMedianTargetRatio = 1.1;  // of the floor's median
constexpr double kTreeCostSlackMs = 0.05;   // beside what a start into a tree costs the floor
constexpr double kCpuTargetPercent = 1;
constexpr double kEventsTargetRatio = 1.03;     // of the median without events
constexpr double kEventsCpuTargetRatio = 1.10;  // of the module thread's CPU a restart without events
constexpr double kScaleCpuTargetRatio = 1.2;    // of the module thread's CPU a restart among fewer hosts
constexpr double kFlatMemoryBytes = 1024 * 1024;
constexpr wchar_t kHostEvent[] = L"ZAV.Service.HostEvent";

struct Options {
  std::string mode;
  int hosts = 64;
  int kills = 200;
  int defaultKills = 3;
  std::string image = "idle";
  bool trees = false;
  bool processGroups = false;
  bool events = false;
  int scaleHosts = 0;
  int seconds = 600;
  int withoutBackOffSeconds = 60;
};

double CpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

// This process's resident memory (the working set on Windows), in bytes.
double ResidentBytes() {
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)
             ? static_cast<double>(counters.WorkingSetSize)
             : 0;
#else
  std::ifstream status("/proc/self/status");
  for (std::string field; status >> field;) {
    double kib = 0;
    if (field == "VmRSS:" && status >> kib) return kib * 1024;
  }
  return 0;
#endif
}

double MiB(double bytes) { return bytes / (1024 * 1024); }

#if defined(_WIN32)
constexpr char kMemoryName[] = "working set";
#else
constexpr char kMemoryName[] = "resident memory";
#endif

void Settings(const Machine& machine, bool wakeOnHostExit, bool backOff) {
  machine.Setting(L"WakeOnHostExit", wakeOnHostExit);
  machine.Setting(L"RestartBackOff", backOff);
}

// The floor: the same real work without the module. Each of its hosts, a
// copy of the image like the module's, is watched by a thread of its own,
// as the module's are by the module's thread: as soon as its wait returns,
// the copy is made again and started, and the new process stamps its start.
// In a tree, the host starts in one process tree made once and kept across
// its restarts, as the module keeps a host's.
class FloorHost {
 public:
  FloorHost(const Machine& machine, std::wstring hostName, bool inTree)
      : name(std::move(hostName)),
        source((machine.Program() / "qvhost.exe").wstring()),
        image((machine.Program() / ("QVH-" + xplat::ToUtf8(name) + ".exe")).wstring()),
        tree(inTree ? xplat::ProcessTree::Create(name) : xplat::ProcessTree()) {
    if (!Start()) return;
    supervisor = std::thread([this] {
      while (host.process.WaitForExit(xplat::kInfinite) && !stopping) {
        host = xplat::StartedProcess();
        if (!xplat::DeleteFile(image) || !Start()) return;
      }
    });
  }
  // The CPU its thread has used so far, in ms; negative where it cannot be read.
  double CpuMs() { return supervisor.joinable() ? module_bench::ThreadCpuMs(supervisor) : -1; }

  ~FloorHost() {
    stopping = true;
    while (supervisor.joinable() && !host.process.HasEnded()) {
      xplat::TerminateProcessById(host.processId, 1);
      std::this_thread::sleep_for(1ms);
    }
    if (supervisor.joinable()) supervisor.join();
  }

  const std::wstring name;

 private:
  bool Start() {
    const std::wstring arguments = L"-m " + name;
    return xplat::CopyFile(source, image) &&
           (tree ? tree.Start(image, arguments, host) : xplat::StartProgram(image, arguments, host));
  }

  std::wstring source;
  std::wstring image;
  xplat::ProcessTree tree;
  xplat::StartedProcess host;
  std::atomic<bool> stopping{false};
  std::thread supervisor;
};

// A subscriber to the host events, as the agent's server side would be: a
// thread of its own pulls and releases each record as it comes. Made before
// a module starts, so that none of its records is refused for want of one.
class HostEventListener {
 public:
  HostEventListener() : signal(xplat::CreateEventSignal(L"BenchHostEvents")) {
    broker.Queue()->Register(kHostEvent, *signal);
    listener = std::thread([this] {
      while (!stopping) {
        signal->Wait(xplat::kInfinite);
        Take();
      }
    });
  }
  ~HostEventListener() {
    stopping = true;
    signal->Set();
    listener.join();
    broker.Queue()->Unregister(kHostEvent, *signal);
  }
  HostEventListener(const HostEventListener&) = delete;
  HostEventListener& operator=(const HostEventListener&) = delete;

  std::size_t Heard() const { return heard; }

 private:
  void Take() {
    while (EventData* record = broker.Queue()->Pull(*signal)) {
      broker.Queue()->Release(record);
      ++heard;
    }
  }

  BrokerBinding broker;
  std::unique_ptr<xplat::EventSignal> signal;
  std::atomic<std::size_t> heard{0};
  std::atomic<bool> stopping{false};
  std::thread listener;
};

// The module setting that two modules compare, off and on, side by side.
struct Compared {
  const wchar_t* setting;     // none: the modules differ in their hosts alone
  const wchar_t* hostPrefix;  // the hosts of the module in the second place; the first's are "Bench"
  const char* modules;
  const char* offLabel;
  const char* onLabel;
};

constexpr Compared kTrees{L"TrackHostTrees", L"Tree", "process trees off and on",
                          "trees off, wake on exit:", "trees on, wake on exit:"};
constexpr Compared kEvents{L"PublishHostEvents", L"Events", "host events off and on, heard by a subscriber",
                           "no events, wake on exit:", "events on, wake on exit:"};
constexpr Compared kScale{nullptr, L"Many", "one among fewer hosts and one among more",
                          "among fewer hosts:", "among more hosts:"};

// What the restarts are measured on: a module for each value of the
// compared setting given, and a floor for each, plain or in a tree.
struct RestartSubjects {
  const Compared& compared;
  std::vector<bool> modules;
  std::vector<bool> floorTrees;
  std::vector<int> moduleHosts;  // each module's, in the same order
};

struct RestartFigures {
  std::vector<Latencies> modules;  // in the order of the subjects
  std::vector<Latencies> floors;
  std::vector<double> moduleCpuMsPerRestart;  // of each module's thread; negative where it cannot be read
  std::vector<double> floorCpuMsPerRestart;   // of each floor's threads, all together; negative where not read
};

// What kills of each subject gave, kept whole so that two measurements pool.
struct RestartSamples {
  std::vector<std::vector<double>> latencies;  // the modules', then the floors'
  std::vector<double> cpuMs;                   // used over the kills, in the same order; negative where not read

  void Add(const RestartSamples& other) {
    for (std::size_t i = 0; i < latencies.size(); ++i) {
      latencies[i].insert(latencies[i].end(), other.latencies[i].begin(), other.latencies[i].end());
      cpuMs[i] = cpuMs[i] < 0 || other.cpuMs[i] < 0 ? -1 : cpuMs[i] + other.cpuMs[i];
    }
  }

  RestartFigures Summary(std::size_t moduleCount) const {
    RestartFigures figures;
    for (std::size_t i = 0; i < latencies.size(); ++i) {
      const bool read = cpuMs[i] >= 0 && !latencies[i].empty();
      const double perRestart = read ? cpuMs[i] / static_cast<double>(latencies[i].size()) : -1;
      (i < moduleCount ? figures.modules : figures.floors).push_back(Summarise(latencies[i]));
      (i < moduleCount ? figures.moduleCpuMsPerRestart : figures.floorCpuMsPerRestart).push_back(perRestart);
    }
    return figures;
  }
};

// The hosts of one module or floor, of which one is killed at each turn.
struct KillTarget {
  KillTarget(std::vector<std::wstring> names, std::size_t poolSize)
      : hosts(std::move(names)), pool(hosts.begin(), hosts.begin() + static_cast<std::ptrdiff_t>(poolSize)) {}

  std::vector<std::wstring> hosts;
  std::vector<std::wstring> pool;  // the hosts kills pick from
  // A sooner restart would wait for the module's once-a-second.
  std::uint64_t minimumRunMs = zav::custody::kStartIntervalMs;
  std::vector<double> latencies;
};

// Kills pick from as many hosts in each module as the one with fewest has,
// so that the processes that end are as old in each: killed among all of
// 500, they had run longer, and ending them cost the module's thread 1.08
// to 2.24 times its CPU a restart among 64 (ten runs), the kernel's work.
std::vector<KillTarget> ModuleTargets(Machine& machine, const RestartSubjects& subjects) {
  std::vector<KillTarget> targets;
  std::vector<std::wstring> all;
  const int pool = *std::min_element(subjects.moduleHosts.begin(), subjects.moduleHosts.end());
  for (std::size_t place = 0; place < subjects.modules.size(); ++place) {
    targets.emplace_back(HostNames(subjects.moduleHosts[place], place == 0 ? L"Bench" : subjects.compared.hostPrefix),
                         static_cast<std::size_t>(pool));
    all.insert(all.end(), targets.back().hosts.begin(), targets.back().hosts.end());
  }
  machine.ModuleList(all);
  return targets;
}

// Kills of each subject's hosts in turns, which goes first changing from
// round to round: all restart among the same running copies, at the same time.
RestartSamples MeasureRestarts(Machine& machine, bool wakeOnHostExit, int kills, int floorHosts,
                               const RestartSubjects& subjects) {
  Settings(machine, wakeOnHostExit, false);
  std::vector<KillTarget> targets = ModuleTargets(machine, subjects);
  Stamps stamps(machine.Stamps());
  stamps.SkipEarlier();
  RestartSamples samples;
  {
    // A module made writes its own program folder, which the one before
    // reads when it starts its hosts: each starts them all before the next.
    std::vector<std::unique_ptr<ModuleRun>> runs;
    for (std::size_t i = 0; i < subjects.modules.size(); ++i) {
      if (subjects.compared.setting) machine.Setting(subjects.compared.setting, subjects.modules[i]);
      runs.push_back(std::make_unique<ModuleRun>(machine, targets[i].hosts));
      AwaitUntil([&] { return stamps.Count(targets[i].hosts) == targets[i].hosts.size(); }, 60s);
    }
    // As many floor hosts as the module has, killed by the same rule: a
    // process that has run for seconds costs the kernel more to reap (here
    // 50 us against 4 us at 100 ms: the /proc entries made for it by
    // whatever looks at the system's processes), so the floor's ended
    // processes are as old as the module's.
    std::vector<std::unique_ptr<FloorHost>> floors;
    for (bool inTree : subjects.floorTrees) {
      const std::vector<std::wstring> names = HostNames(floorHosts, inTree ? L"TreeFloor" : L"Floor");
      for (const std::wstring& name : names) floors.push_back(std::make_unique<FloorHost>(machine, name, inTree));
      AwaitUntil([&] { return stamps.Count(names) == names.size(); }, 60s);
      targets.emplace_back(names, names.size());
    }
    std::vector<double> cpuBefore;
    for (const auto& run : runs) cpuBefore.push_back(run->ThreadCpuMs());
    const auto floorCpuMs = [&floors, floorHosts](std::size_t floor) {
      double sum = 0;
      for (std::size_t i = floor * static_cast<std::size_t>(floorHosts); i < (floor + 1) * floorHosts; ++i) {
        const double used = floors[i]->CpuMs();
        if (used < 0) return -1.0;
        sum += used;
      }
      return sum;
    };
    std::vector<double> floorCpuBefore;
    for (std::size_t floor = 0; floor < subjects.floorTrees.size(); ++floor)
      floorCpuBefore.push_back(floorCpuMs(floor));
    std::mt19937 random(14);
    for (int round = 0; round < kills; ++round) {
      for (std::size_t turn = 0; turn < targets.size(); ++turn) {
        KillTarget& target = targets[(static_cast<std::size_t>(round) + turn) % targets.size()];
        // At any moment of the default wake-up period, or soon after the last restart.
        std::this_thread::sleep_for(std::chrono::milliseconds(wakeOnHostExit ? 5 + random() % 20 : random() % 30000));
        const std::string host = stamps.AnyRunningFor(target.pool, target.minimumRunMs, random);
        if (const std::optional<double> ms = TimeRestartAfterKill(stamps, host, wakeOnHostExit ? 10s : 40s))
          target.latencies.push_back(*ms);
      }
    }
    for (std::size_t i = 0; i < runs.size(); ++i)
      samples.cpuMs.push_back(cpuBefore[i] < 0 ? -1 : runs[i]->ThreadCpuMs() - cpuBefore[i]);
    for (std::size_t floor = 0; floor < floorCpuBefore.size(); ++floor)
      samples.cpuMs.push_back(floorCpuBefore[floor] < 0 ? -1 : floorCpuMs(floor) - floorCpuBefore[floor]);
  }
  for (const KillTarget& target : targets) samples.latencies.push_back(target.latencies);
  return samples;
}

// Two modules compared trade places for half the kills: made, listed,
// named and killed in the other order. Of two modules that differ in
// nothing, the one in the second place cost more here (0.98 to 1.25 times
// the first's CPU a restart, median 1.04, and 0.98 to 1.11 its median
// latency, median 1.02, in 22 runs), whichever was made first or killed
// first, and so did the one whose hosts had the other names; trading both
// leaves 0.98 to 1.04 and 0.98 to 1.03 (five runs).
RestartFigures MeasureRestartsInBothPlaces(Machine& machine, bool wakeOnHostExit, int kills, int floorHosts,
                                           const RestartSubjects& subjects) {
  if (subjects.modules.size() != 2)
    return MeasureRestarts(machine, wakeOnHostExit, kills, floorHosts, subjects).Summary(subjects.modules.size());
  RestartSamples samples = MeasureRestarts(machine, wakeOnHostExit, kills / 2, floorHosts, subjects);
  RestartSubjects traded = subjects;
  traded.modules = {subjects.modules[1], subjects.modules[0]};
  traded.moduleHosts = {subjects.moduleHosts[1], subjects.moduleHosts[0]};
  RestartSamples other = MeasureRestarts(machine, wakeOnHostExit, kills - kills / 2, floorHosts, traded);
  std::swap(other.latencies[0], other.latencies[1]);
  std::swap(other.cpuMs[0], other.cpuMs[1]);
  samples.Add(other);
  return samples.Summary(2);
}

void PrintLatencies(const char* label, const Latencies& figures, const std::string& after = "") {
  std::printf("  %-24s %4d kills  median %8.2f ms  longest %8.2f ms%s\n", label, figures.measured, figures.medianMs,
              figures.longestMs, after.c_str());
}

// The module's median at most kMedianTargetRatio times the floor's.
bool PrintAgainstFloor(const char* label, const Latencies& module, const Latencies& floor) {
  const bool met = module.measured > 0 && floor.measured > 0 && module.medianMs <= kMedianTargetRatio * floor.medianMs;
  char after[96];
  std::snprintf(after, sizeof after, "  (%.2fx the floor; target %.2fx: %s)",
                floor.medianMs > 0 ? module.medianMs / floor.medianMs : 0.0, kMedianTargetRatio,
                met ? "met" : "missed");
  PrintLatencies(label, module, after);
  return met;
}

// What trees add to the module's restart is at most what starting into a
// tree adds to the floor's, and kTreeCostSlackMs.
bool PrintTreeCost(const RestartFigures& figures) {
  const Latencies& off = figures.modules[0];
  const Latencies& on = figures.modules[1];
  const double added = on.medianMs - off.medianMs;
  const double floorAdded = figures.floors[1].medianMs - figures.floors[0].medianMs;
  const bool met = on.measured > 0 && off.measured > 0 && added <= floorAdded + kTreeCostSlackMs;
  std::printf(
      "  trees add %.3f ms to the median; starting into a tree adds %.3f ms to the floor's (target: at most "
      "that + %.2f ms: %s)\n",
      added, floorAdded, kTreeCostSlackMs, met ? "met" : "missed");
  return met;
}

// The median with host events, a subscriber taking each record, at most
// kEventsTargetRatio times the median without them.
bool PrintEventsCost(const RestartFigures& figures, std::size_t heard) {
  const Latencies& off = figures.modules[0];
  const Latencies& on = figures.modules[1];
  const bool met = on.measured > 0 && off.measured > 0 && on.medianMs <= kEventsTargetRatio * off.medianMs;
  std::printf(
      "  %zu host event records heard; events-on median %.3fx the events-off median (target at most %.2fx: %s)\n",
      heard, off.medianMs > 0 ? on.medianMs / off.medianMs : 0.0, kEventsTargetRatio, met ? "met" : "missed");
  const double cpuOff = figures.moduleCpuMsPerRestart[0];
  const double cpuOn = figures.moduleCpuMsPerRestart[1];
  const bool cpuMet = cpuOff > 0 && cpuOn >= 0 && cpuOn <= kEventsCpuTargetRatio * cpuOff;
  std::printf("  events-on module thread's CPU a restart %.3fx the events-off (target at most %.2fx: %s)\n",
              cpuOff > 0 ? cpuOn / cpuOff : 0.0, kEventsCpuTargetRatio, cpuMet ? "met" : "missed");
  return met && cpuMet;
}

// The module thread's CPU a restart among more hosts at most
// kScaleCpuTargetRatio times that among fewer.
bool PrintScaleCost(const RestartFigures& figures, const RestartSubjects& subjects) {
  const double fewer = figures.moduleCpuMsPerRestart[0];
  const double more = figures.moduleCpuMsPerRestart[1];
  const bool met = fewer > 0 && more >= 0 && more <= kScaleCpuTargetRatio * fewer;
  std::printf("  module thread's CPU a restart among %d hosts %.3fx that among %d (target at most %.2fx: %s)\n",
              subjects.moduleHosts[1], fewer > 0 ? more / fewer : 0.0, subjects.moduleHosts[0], kScaleCpuTargetRatio,
              met ? "met" : "missed");
  return met;
}

RestartSubjects Subjects(const Options& options) {
  const int hosts = options.hosts;
  if (options.trees) return {kTrees, {false, true}, {false, true}, {hosts, hosts}};
  if (options.events) return {kEvents, {false, true}, {false}, {hosts, hosts}};
  if (options.scaleHosts > 0) return {kScale, {false, false}, {false}, {hosts, options.scaleHosts}};
  return {kTrees, {false}, {false}, {hosts}};
}

int Restart(const Options& options) {
  Machine machine("custodex-supervision-bench", options.image);
  const RestartSubjects subjects = Subjects(options);
  const bool twoModules = subjects.modules.size() > 1;
  std::string modules;
  if (options.scaleHosts > 0)
    modules = " in one module and " + std::to_string(options.scaleHosts) + " in another, in turns";
  else if (twoModules)
    modules = " in each of two modules, " + std::string(subjects.compared.modules) + ", in turns";
  std::printf("restart after an external kill: %d hosts%s, %s as qvhost.exe (copied per restart), logging at 200\n",
              options.hosts, modules.c_str(), options.image == "qvhost" ? "the qvhost.exe stand-in" : "the idle host");
  std::optional<HostEventListener> listener;
  if (options.events) listener.emplace();
  const RestartFigures fast = MeasureRestartsInBothPlaces(machine, true, options.kills, options.hosts, subjects);
  PrintLatencies("floor (copy and start):", fast.floors[0]);
  if (options.trees) PrintLatencies("floor started in a tree:", fast.floors[1]);
  bool met = PrintAgainstFloor(twoModules ? subjects.compared.offLabel : "wake on host exit:", fast.modules[0],
                               fast.floors[0]);
  if (twoModules) PrintLatencies(subjects.compared.onLabel, fast.modules[1]);
  for (std::size_t i = 0; i < fast.moduleCpuMsPerRestart.size(); ++i) {
    const double cpuMs = fast.moduleCpuMsPerRestart[i];
    char figure[32] = "not known here";
    if (cpuMs >= 0) std::snprintf(figure, sizeof figure, "%.3f ms", cpuMs);
    std::string which;
    if (options.scaleHosts > 0)
      which = " (among " + std::to_string(subjects.moduleHosts[i]) + " hosts)";
    else if (twoModules)
      which = i == 0 ? " (off)" : " (on)";
    std::printf("  module thread's CPU a restart%s: %s\n", which.c_str(), figure);
  }
  for (std::size_t i = 0; i < fast.floorCpuMsPerRestart.size(); ++i) {
    if (fast.floorCpuMsPerRestart[i] < 0) continue;
    std::printf("  floor's CPU a restart%s: %.3f ms\n", i == 0 ? "" : " (in a tree)", fast.floorCpuMsPerRestart[i]);
  }
  if (options.trees) met = PrintTreeCost(fast) && met;
  if (listener) met = PrintEventsCost(fast, listener->Heard()) && met;
  if (options.scaleHosts > 0) met = PrintScaleCost(fast, subjects) && met;
  if (options.defaultKills > 0) {
    // The module's defaults: the compared setting off.
    const Latencies slow = MeasureRestartsInBothPlaces(machine, false, options.defaultKills, options.hosts,
                                                       {subjects.compared, {false}, {}, {options.hosts}})
                               .modules[0];
    std::printf("  default 30-s wake-up:   %4d kills  median %8.2f ms  longest %8.2f ms\n", slow.measured,
                slow.medianMs, slow.longestMs);
  }
  return met ? 0 : 1;
}

struct CrashLoopFigures {
  double cpuPercent = 0;
  double seconds = 0;
  std::size_t starts = 0;
  std::size_t records = 0;                // host events heard
  std::array<double, 3> residentBytes{};  // at the start of the period, its middle and its end

  double StartsPerSecond() const { return seconds > 0 ? static_cast<double>(starts) / seconds : 0; }
  // At most one a second: a window of n seconds holds n + 1 at most.
  bool AtMostOneASecond() const { return static_cast<double>(starts) <= seconds + 1; }
  double RecordsPerMinute() const { return seconds > 0 ? static_cast<double>(records) * 60 / seconds : 0; }
  bool FlatMemory() const { return std::abs(residentBytes[2] - residentBytes[1]) <= kFlatMemoryBytes; }
};

// One host that ends at once every time, with wake on host exit: the CPU
// this process uses over the period, the host's starts a second and, with
// host events, the records heard and the resident memory over the period.
CrashLoopFigures MeasureCrashLoop(Machine& machine, bool backOff, int seconds, bool events) {
  const std::vector<std::wstring> names{L"Crashy"};
  Settings(machine, true, backOff);
  machine.Setting(kEvents.setting, events);
  machine.ModuleList(names);
  xplat::WriteEnvironment(L"CUSTODEX_BENCH_CRASH", L"Crashy");
  Stamps stamps(machine.Stamps());
  std::optional<HostEventListener> listener;
  if (events) listener.emplace();
  const auto heard = [&listener] { return listener ? listener->Heard() : 0; };
  ModuleRun run(machine, names);
  CrashLoopFigures figures;
  const std::size_t startsBefore = stamps.Starts("Crashy");
  const std::size_t recordsBefore = heard();
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  figures.residentBytes[0] = ResidentBytes();
  std::this_thread::sleep_until(start + std::chrono::milliseconds(seconds * 500));
  figures.residentBytes[1] = ResidentBytes();
  std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
  figures.residentBytes[2] = ResidentBytes();
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.cpuPercent = (CpuSeconds() - cpu) * 100 / figures.seconds;
  figures.starts = stamps.Starts("Crashy") - startsBefore;
  figures.records = heard() - recordsBefore;
  return figures;
}

// Whether this process's memory stays flat while the records come.
bool PrintEvents(const CrashLoopFigures& figures) {
  const bool flat = figures.FlatMemory();
  std::printf(
      "    host events: %zu records heard, %.2f a minute; %s %.2f MiB at the start, %.2f MiB at the middle, %.2f "
      "MiB at the end (target: the end within %.0f MiB of the middle: %s)\n",
      figures.records, figures.RecordsPerMinute(), kMemoryName, MiB(figures.residentBytes[0]),
      MiB(figures.residentBytes[1]), MiB(figures.residentBytes[2]), MiB(kFlatMemoryBytes), flat ? "met" : "missed");
  return flat;
}

// The most starts the back-off lets a host that always ends at once have in
// that many seconds, each delay as the module's RestartDelay gives it.
std::size_t BackOffStartsWithin(int seconds) {
  unsigned quickExits = 0;
  std::size_t starts = 0;
  for (std::uint64_t ms = 0; ms <= static_cast<std::uint64_t>(seconds) * 1000;
       ms += zav::custody::RestartDelay(0, quickExits)) {
    ++starts;
  }
  return starts;
}

void PrintEventsBound(const CrashLoopFigures& figures, int seconds) {
  std::printf(
      "    bounded by the back-off: once its delay has grown (1 s, 2 s, 4 s ...), a crash-looping host starts at "
      "most once every %u s, so at most %zu times in %d s, each start posting started, ended and backing-off: "
      "%zu records heard from %zu starts\n",
      zav::custody::kLongestBackOffMs / 1000, BackOffStartsWithin(seconds), seconds, figures.records, figures.starts);
}

int CrashLoop(const Options& options) {
  Machine machine("custodex-supervision-bench", "idle");
  std::printf("a host that ends at once every time, wake on host exit on%s: CPU of the service process\n",
              options.events ? ", host events on, heard by a subscriber" : "");
  const CrashLoopFigures withBackOff = MeasureCrashLoop(machine, true, options.seconds, options.events);
  bool met = withBackOff.cpuPercent <= kCpuTargetPercent;
  std::printf("  restart back-off on:   %5d s  %6.3f %% of one core  %6.3f starts a second  (target %.0f %%: %s)\n",
              options.seconds, withBackOff.cpuPercent, withBackOff.StartsPerSecond(), kCpuTargetPercent,
              met ? "met" : "missed");
  if (options.events) {
    met = PrintEvents(withBackOff) && met;
    PrintEventsBound(withBackOff, options.seconds);
  }
  if (options.withoutBackOffSeconds > 0) {
    const CrashLoopFigures alone = MeasureCrashLoop(machine, false, options.withoutBackOffSeconds, options.events);
    const bool spaced = alone.AtMostOneASecond();
    std::printf(
        "  restart back-off off:  %5d s  %6.3f %% of one core  %6.3f starts a second, %zu in all  (target at most one "
        "a "
        "second: %s)\n",
        options.withoutBackOffSeconds, alone.cpuPercent, alone.StartsPerSecond(), alone.starts,
        spaced ? "met" : "missed");
    met = met && spaced;
    if (options.events) met = PrintEvents(alone) && met;
  }
  return met ? 0 : 1;
}

bool Parse(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--trees" || name == "--events") {
      (name == "--trees" ? options.trees : options.events) = true;
      continue;
    }
    if (name == "--process-groups") {
      options.processGroups = true;
      continue;
    }
    if (++i == argc) return false;
    const std::string value = argv[i];
    if (name == "--hosts")
      options.hosts = std::stoi(value);
    else if (name == "--scale")
      options.scaleHosts = std::stoi(value);
    else if (name == "--kills")
      options.kills = std::stoi(value);
    else if (name == "--default-kills")
      options.defaultKills = std::stoi(value);
    else if (name == "--image")
      options.image = value;
    else if (name == "--seconds")
      options.seconds = std::stoi(value);
    else if (name == "--without-back-off-seconds")
      options.withoutBackOffSeconds = std::stoi(value);
    else
      return false;
  }
  if (options.processGroups && !options.trees) return false;
  if (options.scaleHosts != 0 && options.scaleHosts <= options.hosts) return false;
  const int compared = (options.trees ? 1 : 0) + (options.events ? 1 : 0) + (options.scaleHosts > 0 ? 1 : 0);
  return (options.mode == "restart" && compared <= 1) ||
         (options.mode == "crash-loop" && !options.trees && options.scaleHosts == 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: custodex-supervision-bench restart [--hosts N] [--kills N] [--default-kills N] "
                 "[--image idle|qvhost] [--trees [--process-groups] | --events | --scale N]\n"
                 "       custodex-supervision-bench crash-loop [--seconds N] [--without-back-off-seconds N] "
                 "[--events]\n");
    return 2;
  }
#if !defined(_WIN32)
  // Before any tree is made: every tree is then of process groups, as where
  // the kernel refuses to clone into a control group.
  if (options.processGroups) xplat::SetCloneRefusalForTesting(ENOSYS);
#endif
  try {
    return options.mode == "restart" ? Restart(options) : CrashLoop(options);
  } catch (const std::exception& error) {  // after the destructors have ended every process
    std::fprintf(stderr, "custodex-supervision-bench: %s\n", error.what());
    return 1;
  }
}
