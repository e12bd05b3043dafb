// What process trees (TrackHostTrees) cost and what they wait for. A portable
// program (Linux, and Windows under Wine), not a Google Benchmark one:
//
//   custodex-tree-bench start [--hosts 64] [--rounds 20]
//   custodex-tree-bench drain [--hosts 64] [--children 3] [--linger-ms 300] [--exit-ms 3000]
//   custodex-tree-bench drain-stop [--hosts 64] [--children 3] [--divisor 20] [--process-groups]
//   custodex-tree-bench status-flood [--hosts 16] [--children 24] [--kills 30] [--process-groups]
//
// start: one ApplyHostPolicy that starts every host (the idle host as
// qvhost.exe), timed in a module made with trees off and in one made with
// them on, in rounds that alternate which goes first. Between rounds, outside
// the time, the hosts are ended, nothing of them may be left, and the copies
// go. A tree is made at a host's first start and kept for its later ones:
// the first round, the only one that makes trees, is also shown on its own.
// drain: the upgrade's wait, with trees on and then off, over qvhost.exe
// stand-ins that end by themselves --exit-ms after their start, each with
// workers that end --linger-ms after their host. The upgrade event goes out
// once every host and worker runs; the drain lasts until Execute returns,
// when those still running are counted. The last host started ends last:
// the drain is about --exit-ms less the time its start was before the
// event, and with trees on --linger-ms more.
// drain-stop: hosts that pass over stop requests and workers that never end,
// with trees and StopHostsThatDoNotEnd on: the time from the moment the
// upgrade's wait ran out to the moment every process of the trees had ended.
// The wait has run out when the module's line "waiting for hosts to exit
// timed out." is in the log (written and flushed as the wait ends, read here
// every millisecond); everything has ended when one wait on all those
// processes, each opened before the upgrade, returns. --divisor sets
// CUSTODEX_TIME_DIVISOR for this process only, so the 20-s wait lasts
// 20/divisor s; the module's other bounded waits, such as the 5 s it gives a
// tree it ends, are as many times shorter. The hosts run at normal speed.
// status-flood: qvhost.exe hosts with workers that never end, with wake on
// host exit, host status and trees on: the restart after a kill of a host,
// from the old process's end to the new one's start stamp, with nothing
// else going on and while another thread floods the module with status
// requests, in turns. A killed host's workers run on in its tree.
// --process-groups (Linux): trees are process groups, as where the kernel
// refuses to clone into a control group.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hosts/custodex.h"
#include "module_machine.h"
#include "xplat/clock.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/process_list.h"
#include "xplat/process_tree.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern "C" {
#include <sys/pidfd.h>
}

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group_place.h"
#include "xplat/posix/file_descriptor.h"
#include "xplat/text.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using module_bench::AwaitUntil;
using module_bench::Clock;
using module_bench::Figures;
using module_bench::HostNames;
using module_bench::Latencies;
using module_bench::LogWatch;
using module_bench::Machine;
using module_bench::ModuleRun;
using module_bench::QuietOutput;
using module_bench::Running;
using module_bench::Stamps;
using module_bench::Summarise;
using module_bench::Sweep;
using module_bench::TimeRestartAfterKill;
using Programs = std::vector<xplat::RunningProgram>;

constexpr double kStartTargetRatio = 1.1;
constexpr int kRepeatsAllowed = 3;
// Wine's server ends the processes of a job one at a time.
#if defined(_WIN32)
constexpr double kEndTargetMs = 400;
#else
constexpr double kEndTargetMs = 100;
#endif
constexpr double kFloodTargetMs = 100;           // beside the quiet median
constexpr std::uint32_t kUpgradeWaitMs = 20000;  // the module's
constexpr char kWaitRanOut[] = "waiting for hosts to exit timed out.";
constexpr wchar_t kUpgradeEvent[] = L"ZAV.Upgrade.Custodex";
constexpr wchar_t kStatusRequest[] = L"ZAV.Service.QueryHostStatus";
constexpr wchar_t kStatusAnswer[] = L"ZAV.Service.HostStatus";

struct Options {
  std::string mode;
  int hosts = 64;
  int rounds = 20;
  int children = 3;
  int lingerMs = 300;
  int exitMs = 3000;
  int divisor = 20;
  int kills = 30;
  bool processGroups = false;
};

double Ms(Clock::duration elapsed) { return std::chrono::duration<double, std::milli>(elapsed).count(); }

// The kind of the trees made now: where the kernel refuses to clone into a
// control group, that shows only once a start has tried it.
const char* TreeKind() {
  const xplat::ProcessTree probe = xplat::ProcessTree::Create(L"kind-probe");
  if (!probe) return "none can be made";
  const xplat::ProcessTreeKind kind = probe.Kind();
  return kind == xplat::ProcessTreeKind::JobObject      ? "job objects"
         : kind == xplat::ProcessTreeKind::ControlGroup ? "control groups"
                                                        : "process groups";
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

#if !defined(_WIN32)
// The kernel's own cost of placing a start in a control group, the floor of
// the trees' starts: the same image started --hosts times by posix_spawn,
// cloned into groups made beforehand, and into a group made for each start
// (mkdir, then clone), as the module does. Each round's processes are ended
// and reaped, and its groups removed, outside the time.
struct PlacementFloor {
  std::vector<double> spawnMs, cloneMs, freshMs;
};

class PlacementRound {
 public:
  PlacementRound(const xplat::TreesPlace& place, const std::wstring& image, int hosts)
      : folder(place.mount + place.group + "/tree-bench-" + std::to_string(::getpid())),
        image(xplat::ToUtf8(image)),
        hosts(hosts) {
    ::mkdir(folder.c_str(), 0755);
  }
  ~PlacementRound() { ::rmdir(folder.c_str()); }

  double Spawn() {
    return Timed([&](int) {
      xplat::StartedProcess started;
      if (!xplat::StartProgram(xplat::FromUtf8(image), L"", started)) return false;
      spawned.push_back(std::move(started));
      return true;
    });
  }
  // Groups made outside the time when `fresh` is false.
  double Clone(bool fresh) {
    if (!fresh) MakeGroups();
    return Timed([&](int host) {
      if (fresh && ::mkdir(Group(host).c_str(), 0755) != 0) return false;
      const xplat::FileDescriptor group(::open(Group(host).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      char* argv[] = {image.data(), nullptr};
      pid_t pid = 0;
      xplat::FileDescriptor pidfd;
      if (xplat::CloneIntoControlGroup(argv, group.Get(), pid, pidfd) != xplat::CloneOutcome::Started) return false;
      cloned.push_back(std::move(pidfd));
      return true;
    });
  }

 private:
  std::string Group(int host) const { return folder + "/g" + std::to_string(host); }
  void MakeGroups() {
    for (int host = 0; host < hosts; ++host) ::mkdir(Group(host).c_str(), 0755);
  }
  template <typename StartOne>
  double Timed(StartOne start) {
    const auto began = Clock::now();
    bool all = true;
    for (int host = 0; host < hosts && all; ++host) all = start(host);
    const double ms = Ms(Clock::now() - began);
    End();
    return all ? ms : -1;
  }
  void End() {
    for (xplat::StartedProcess& process : spawned) {
      process.process.Terminate(1);
      process.process.WaitForExit(10000);
    }
    spawned.clear();
    for (const xplat::FileDescriptor& pidfd : cloned) {
      ::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0);
      siginfo_t info{};
      ::waitid(P_PIDFD, static_cast<id_t>(pidfd.Get()), &info, WEXITED);
    }
    cloned.clear();
    for (int host = 0; host < hosts; ++host) ::rmdir(Group(host).c_str());
  }

  std::string folder;
  std::string image;
  int hosts;
  std::vector<xplat::StartedProcess> spawned;
  std::vector<xplat::FileDescriptor> cloned;
};

std::optional<PlacementFloor> MeasurePlacement(const std::wstring& image, int hosts, int rounds) {
  const std::optional<xplat::TreesPlace>& place = xplat::FindTreesPlace().place;
  if (!place) return std::nullopt;
  PlacementRound round(*place, image, hosts);
  PlacementFloor floor;
  for (int turn = 0; turn < rounds; ++turn) {
    floor.spawnMs.push_back(round.Spawn());
    floor.cloneMs.push_back(round.Clone(false));
    floor.freshMs.push_back(round.Clone(true));
    if (floor.spawnMs.back() < 0 || floor.cloneMs.back() < 0 || floor.freshMs.back() < 0) return std::nullopt;
  }
  return floor;
}

void PrintPlacement(const Machine& machine, const Options& options) {
  const std::optional<PlacementFloor> floor =
      MeasurePlacement((machine.Program() / "qvhost.exe").wstring(), options.hosts, options.rounds);
  if (!floor) {
    std::fprintf(Figures(), "  the kernel's cost of starting into a control group: not measured (none can be made)\n");
    return;
  }
  const double spawn = Median(floor->spawnMs);
  const double clone = Median(floor->cloneMs);
  const double fresh = Median(floor->freshMs);
  std::fprintf(Figures(),
               "  floor, the same image without the module: posix_spawn %.2f ms, clone3 into groups made "
               "before %.2f ms, into a group made for each start %.2f ms\n",
               spawn, clone, fresh);
  std::fprintf(Figures(), "  the kernel's cost a start: into a group %.3f ms; a group made for it %.3f ms more\n",
               (clone - spawn) / options.hosts, (fresh - clone) / options.hosts);
}
#endif

// A module made with trees on or off, its hosts, and its timed starts.
struct StartSubject {
  const char* trees;  // "on" or "off"
  std::unique_ptr<zav::custody::Custodex> module;
  std::vector<std::wstring> copies;
  std::vector<double> ms;
};

StartSubject MakeSubject(const Machine& machine, bool trees, const std::vector<std::wstring>& names) {
  machine.Setting(L"TrackHostTrees", trees);
  StartSubject subject{trees ? "on" : "off", std::make_unique<zav::custody::Custodex>(), machine.Copies(names), {}};
  for (const std::wstring& name : names) {
    zav::custody::HostRecord record;
    record.hostName = name;
    record.moduleName = L"ZAVSample";
    record.fileName = L"NotLoaded.dll";
    subject.module->Add(record);
  }
  return subject;
}

// Ends the hosts, reaps them and makes their records startable again: how
// many processes run from their copies are left.
std::size_t EndHosts(StartSubject& subject) {
  std::uint32_t exitCode = 0;
  for (auto& [name, record] : subject.module->Hosts()) record.processHandle.Terminate(1);
  for (auto& [name, record] : subject.module->Hosts()) {
    record.processHandle.WaitForExit(10000);
    record.processHandle.GetExitCode(exitCode);
    record.started = 0;
  }
  std::size_t left = 0;
  AwaitUntil([&] { return (left = Running(subject.copies).size()) == 0; }, 10s);
  for (const std::wstring& copy : subject.copies) xplat::DeleteFile(copy);
  return left;
}

enum class StartResult { Done, HostNotStarted, ProcessesLeft };

StartResult TimeStart(StartSubject& subject) {
  const auto start = Clock::now();
  const bool started = subject.module->ApplyHostPolicy() == 0;
  subject.ms.push_back(Ms(Clock::now() - start));
  if (const std::size_t left = EndHosts(subject)) {
    std::fprintf(stderr, "process trees %s: %zu processes were left after the end\n", subject.trees, left);
    return StartResult::ProcessesLeft;
  }
  if (!started) std::fprintf(stderr, "process trees %s: a host did not start\n", subject.trees);
  return started ? StartResult::Done : StartResult::HostNotStarted;
}

// Both in turns, alternating which goes first. Under Wine a start fails now
// and then, alike with trees and without: such a round is run again, a few
// times at most.
bool TimeRounds(StartSubject& plain, StartSubject& tree, int rounds, int& repeated) {
  for (int round = 0; round < rounds; ++round) {
    StartSubject& first = round % 2 == 0 ? plain : tree;
    StartSubject& second = round % 2 == 0 ? tree : plain;
    StartResult result = TimeStart(first);
    if (result == StartResult::Done) result = TimeStart(second);
    if (result == StartResult::Done) continue;
    if (result == StartResult::ProcessesLeft || ++repeated > kRepeatsAllowed) return false;
    plain.ms.resize(static_cast<std::size_t>(round));
    tree.ms.resize(static_cast<std::size_t>(round));
    --round;
  }
  return true;
}

int Start(const Options& options) {
  Machine machine("custodex-tree-bench", "idle");
  machine.ModuleList({});  // read when a module is constructed
  const char* kind = TreeKind();
  StartSubject plain = MakeSubject(machine, false, HostNames(options.hosts, L"Plain"));
  StartSubject tree = MakeSubject(machine, true, HostNames(options.hosts, L"Tree"));
  machine.UseProgramFolder();
  Sweep plainSweep(plain.copies);
  Sweep treeSweep(tree.copies);
  int repeated = 0;
  if (!TimeRounds(plain, tree, options.rounds, repeated)) return 1;
  const double ratio = Median(tree.ms) / Median(plain.ms);
  std::fprintf(Figures(),
               "start of %d hosts by one ApplyHostPolicy, the idle host as qvhost.exe; %d rounds; trees here: %s\n",
               options.hosts, options.rounds, kind);
  std::fprintf(Figures(), "  process trees off: median %8.2f ms  (first round %8.2f ms)\n", Median(plain.ms),
               plain.ms[0]);
  std::fprintf(Figures(), "  process trees on:  median %8.2f ms  (first round, trees made: %8.2f ms)\n",
               Median(tree.ms), tree.ms[0]);
  if (repeated > 0) std::fprintf(Figures(), "  rounds run again after a host did not start: %d\n", repeated);
#if !defined(_WIN32)
  PrintPlacement(machine, options);
#endif
  std::fprintf(Figures(), "  tree/plain of the medians: %.3f\n", ratio);
  std::fprintf(Figures(), "target: at most %.1f (%s)\n", kStartTargetRatio,
               ratio <= kStartTargetRatio ? "met" : "missed");
  return 0;
}

// What the hosts inherit: their workers, and how they end (empty: never by
// themselves, running the sample module).
void HostEnvironment(const std::vector<std::wstring>& names, const std::wstring& children, const std::wstring& exit,
                     bool ignoreStop) {
  for (const std::wstring& name : names) {
    xplat::WriteEnvironment(L"QVHOST_CHILDREN_" + name, children);
    xplat::WriteEnvironment(L"QVHOST_EXIT_" + name, exit);
    xplat::WriteEnvironment(L"QVHOST_IGNORE_STOP_" + name, ignoreStop ? L"1" : L"");
  }
}

std::size_t StillRunning(const Programs& programs) {
  return static_cast<std::size_t>(std::count_if(programs.begin(), programs.end(),
                                                [](const xplat::RunningProgram& p) { return !p.process.HasEnded(); }));
}

struct DrainFigures {
  bool measured = false;
  std::size_t atUpgrade = 0;
  double drainMs = 0;
  std::size_t atReturn = 0;  // of those running at the upgrade
};

DrainFigures MeasureDrain(const Machine& machine, bool trees, const Options& options) {
  const std::vector<std::wstring> names = HostNames(options.hosts, trees ? L"Tree" : L"Plain");
  const std::vector<std::wstring> copies = machine.Copies(names);
  const std::size_t expected = names.size() * static_cast<std::size_t>(options.children + 1);
  HostEnvironment(names, std::to_wstring(options.children) + L"@" + std::to_wstring(options.lingerMs),
                  L"0@" + std::to_wstring(options.exitMs), false);
  machine.Setting(L"TrackHostTrees", trees);
  machine.ModuleList(names);
  DrainFigures figures;
  Programs atUpgrade;
  Clock::time_point returnedAt;
  Sweep sweep(copies);
  ModuleRun run(machine, names, [&] {
    returnedAt = Clock::now();
    figures.atReturn = StillRunning(atUpgrade);
  });
  const auto allRun = [&] { return (atUpgrade = Running(copies)).size() == expected; };
  if (!AwaitUntil(allRun, std::chrono::milliseconds(options.exitMs))) {
    std::fprintf(stderr,
                 "only %zu of %zu processes ran at once before the first hosts ended: starts are slow here (under "
                 "Wine, for one); raise --exit-ms\n",
                 atUpgrade.size(), expected);
    return figures;
  }
  figures.atUpgrade = atUpgrade.size();
  const auto posted = Clock::now();
  if (!run.Send(kUpgradeEvent) || !AwaitUntil([&] { return run.Returned(); }, 120s, 1ms)) {
    std::fprintf(stderr, "the module did not return from the upgrade\n");
    return figures;
  }
  figures.drainMs = Ms(returnedAt - posted);
  figures.measured = true;
  return figures;
}

void PrintDrain(const char* label, const DrainFigures& figures) {
  std::fprintf(Figures(),
               "  process trees %-4s %zu running at the upgrade; drain %8.1f ms; %zu of them running when Execute "
               "returned%s\n",
               label, figures.atUpgrade, figures.drainMs, figures.atReturn,
               figures.atReturn == 0 ? (" (all " + std::to_string(figures.atUpgrade) + " waited for)").c_str() : "");
}

int Drain(const Options& options) {
  Machine machine("custodex-tree-bench", "qvhost");
  std::fprintf(Figures(),
               "upgrade drain: %d hosts (qvhost.exe) ending %d ms after their start, %d workers each ending %d ms "
               "after their host; trees here: %s\n",
               options.hosts, options.exitMs, options.children, options.lingerMs, TreeKind());
  const DrainFigures on = MeasureDrain(machine, true, options);
  if (!on.measured) return 1;
  PrintDrain("on:", on);
  const DrainFigures off = MeasureDrain(machine, false, options);
  if (!off.measured) return 1;
  PrintDrain("off:", off);
  return 0;
}

bool AllEnded(const Programs& programs) {
  std::vector<const xplat::ProcessHandle*> handles;
  for (const xplat::RunningProgram& program : programs) handles.push_back(&program.process);
  return xplat::WaitForAllProcesses(handles, 100) == xplat::WaitAllResult::AllEnded;
}

// The divisor is read at the clock's first use: this process keeps it,
// while the hosts, which inherit the environment, run at normal speed.
void DivideThisProcessTime(int divisor) {
  xplat::WriteEnvironment(L"CUSTODEX_TIME_DIVISOR", std::to_wstring(divisor));
  xplat::CurrentClock().NowMs();
  xplat::WriteEnvironment(L"CUSTODEX_TIME_DIVISOR", L"");
}

int DrainStop(const Options& options) {
  DivideThisProcessTime(options.divisor);
  Machine machine("custodex-tree-bench", "qvhost");
  xplat::WriteEnvironment(L"TALLYX_LEVEL", L"190");  // the wait's end is a diagnostic line
  const std::vector<std::wstring> names = HostNames(options.hosts, L"Stuck");
  const std::vector<std::wstring> copies = machine.Copies(names);
  const std::size_t expected = names.size() * static_cast<std::size_t>(options.children + 1);
  HostEnvironment(names, std::to_wstring(options.children) + L"@never", L"", true);
  machine.Setting(L"TrackHostTrees", true);
  machine.Setting(L"StopHostsThatDoNotEnd", true);
  machine.ModuleList(names);
  Programs atUpgrade;
  Sweep sweep(copies);
  ModuleRun run(machine, names);
  if (!AwaitUntil([&] { return (atUpgrade = Running(copies)).size() == expected; }, 60s)) {
    std::fprintf(stderr, "only %zu of %zu processes ran\n", atUpgrade.size(), expected);
    return 1;
  }
  std::fprintf(Figures(),
               "upgrade drain, hosts that do not end: %d hosts passing over stop requests, %d workers each that "
               "never end; trees and StopHostsThatDoNotEnd on; trees here: %s\n",
               options.hosts, options.children, TreeKind());
  std::fprintf(Figures(),
               "  CUSTODEX_TIME_DIVISOR=%d in this process: the 20-s wait lasts %d ms, and the module's other "
               "bounded waits are as many times shorter\n",
               options.divisor, static_cast<int>(kUpgradeWaitMs) / options.divisor);
  LogWatch log(machine.Log());
  const auto posted = Clock::now();
  if (!run.Send(kUpgradeEvent) || !AwaitUntil([&] { return log.Saw(kWaitRanOut); }, 120s, 1ms)) {
    std::fprintf(stderr, "the module's wait did not run out\n");
    return 1;
  }
  const auto ranOut = Clock::now();
  if (!AwaitUntil([&] { return AllEnded(atUpgrade); }, 60s, 0ms)) {
    std::fprintf(stderr, "%zu processes were not ended\n", StillRunning(atUpgrade));
    return 1;
  }
  const double endedMs = Ms(Clock::now() - ranOut);
  AwaitUntil([&] { return run.Returned(); }, 60s, 1ms);
  std::fprintf(Figures(),
               "  %zu running at the upgrade; the wait ran out %.0f ms after the upgrade event; Execute returned "
               "after %.0f ms\n",
               atUpgrade.size(), Ms(ranOut - posted), Ms(Clock::now() - posted));
  std::fprintf(Figures(), "  ended within %.1f ms after the wait ran out (target %.0f ms: %s)\n", endedMs, kEndTargetMs,
               endedMs <= kEndTargetMs ? "met" : "missed");
  return 0;
}

// Another thread posts status requests as fast as the module answers them:
// a few always wait, so the module never runs out of them, yet its queue
// never grows without bound, and the quiet that follows a flood comes soon.
class StatusFlood {
 public:
  explicit StatusFlood(ModuleRun& run) : queue(run.Queue()), answers(xplat::CreateEventSignal(L"BenchStatus")) {
    queue.Register(kStatusAnswer, *answers);
    flooder = std::thread([this, &run] {
      while (!stopping) {
        if (posted - answered < kBacklog && run.Send(kStatusRequest))
          ++posted;
        else
          answers->Wait(10);
        TakeAnswers();
      }
    });
  }
  // What follows is quiet: the answers still owed have come.
  ~StatusFlood() {
    stopping = true;
    flooder.join();
    AwaitUntil([this] { return TakeAnswers() == posted; }, 60s, 1ms);
    queue.Unregister(kStatusAnswer, *answers);
  }
  StatusFlood(const StatusFlood&) = delete;
  StatusFlood& operator=(const StatusFlood&) = delete;

  bool UnderWay() const { return answered >= kBacklog; }

 private:
  static constexpr std::size_t kBacklog = 4;

  std::size_t TakeAnswers() {
    while (EventData* answer = queue.Pull(*answers)) {
      queue.Release(answer);
      ++answered;
    }
    return answered;
  }

  EventQueue& queue;
  std::unique_ptr<xplat::EventSignal> answers;
  std::size_t posted = 0;
  std::atomic<std::size_t> answered{0};
  std::atomic<bool> stopping{false};
  std::thread flooder;
};

struct FloodFigures {
  std::vector<double> quietMs;
  std::vector<double> floodedMs;
};

// Kills of hosts that have run a second, quiet and flooded in turns,
// alternating which goes first. A killed host's workers run on and its
// successor starts as many again: each turn begins once they all run, so
// that a quiet one is quiet.
FloodFigures MeasureFloodedRestarts(ModuleRun& run, Stamps& stamps, const std::vector<std::wstring>& names,
                                    const std::vector<std::wstring>& copies, const Options& options) {
  FloodFigures figures;
  std::size_t processes = names.size() * static_cast<std::size_t>(options.children + 1);
  std::mt19937 random(14);
  for (int round = 0; round < options.kills; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      AwaitUntil([&] { return Running(copies).size() >= processes; }, 30s);
      const bool flooded = (round + turn) % 2 == 1;
      std::optional<StatusFlood> flood;
      if (flooded) flood.emplace(run);
      if (flood) AwaitUntil([&] { return flood->UnderWay(); }, 10s, 1ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 20));
      const std::string host = stamps.AnyRunningFor(names, zav::custody::kStartIntervalMs, random);
      const std::optional<double> ms = TimeRestartAfterKill(stamps, host, 10s);
      if (!ms) continue;
      (flooded ? figures.floodedMs : figures.quietMs).push_back(*ms);
      processes += static_cast<std::size_t>(options.children);
    }
  }
  return figures;
}

void PrintRestarts(const char* label, const Latencies& figures) {
  std::fprintf(Figures(), "  %-26s %4d kills  median %8.2f ms  longest %8.2f ms\n", label, figures.measured,
               figures.medianMs, figures.longestMs);
}

int StatusFloodRestarts(const Options& options) {
  Machine machine("custodex-tree-bench", "qvhost");
  const std::vector<std::wstring> names = HostNames(options.hosts, L"Busy");
  const std::vector<std::wstring> copies = machine.Copies(names);
  const std::size_t expected = names.size() * static_cast<std::size_t>(options.children + 1);
  HostEnvironment(names, std::to_wstring(options.children) + L"@never", L"", false);
  for (const wchar_t* setting : {L"WakeOnHostExit", L"HostStatus", L"TrackHostTrees"}) machine.Setting(setting, true);
  machine.ModuleList(names);
  Stamps stamps(machine.Stamps());
  // Everything ends before the module and its trees go: a tree that still
  // holds a worker would be kept for a later service.
  ModuleRun run(machine, names, [&copies] { const Sweep ended(copies); });
  std::size_t running = 0;
  if (!AwaitUntil([&] { return (running = Running(copies).size()) == expected; }, 60s)) {
    std::fprintf(stderr, "only %zu of %zu processes ran\n", running, expected);
    return 1;
  }
  const FloodFigures figures = MeasureFloodedRestarts(run, stamps, names, copies, options);
  const Latencies quiet = Summarise(figures.quietMs);
  const Latencies flooded = Summarise(figures.floodedMs);
  const bool met = quiet.measured > 0 && flooded.measured > 0 && flooded.medianMs <= quiet.medianMs + kFloodTargetMs;
  std::fprintf(Figures(),
               "restart after a kill under a flood of status requests: %d hosts (qvhost.exe), %d workers each that "
               "never end, %zu processes at the start; wake on host exit, host status and trees on; trees here: %s\n",
               options.hosts, options.children, running, TreeKind());
  PrintRestarts("nothing else going on:", quiet);
  PrintRestarts("status requests flooding:", flooded);
  std::fprintf(Figures(), "target: the flooded median at most the quiet one + %.0f ms (%s)\n", kFloodTargetMs,
               met ? "met" : "missed");
  return 0;
}

bool Parse(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.mode = argv[1];
  if (options.mode == "status-flood") {
    options.hosts = 16;
    options.children = 24;
  }
  const std::map<std::string, int*> numbers{{"--hosts", &options.hosts},       {"--rounds", &options.rounds},
                                            {"--children", &options.children}, {"--linger-ms", &options.lingerMs},
                                            {"--exit-ms", &options.exitMs},    {"--divisor", &options.divisor},
                                            {"--kills", &options.kills}};
  for (int i = 2; i < argc; ++i) {
    if (argv[i] == std::string("--process-groups")) {
      options.processGroups = true;
      continue;
    }
    const auto number = numbers.find(argv[i]);
    if (number == numbers.end() || ++i == argc) return false;
    *number->second = std::stoi(argv[i]);
  }
  const bool groupsApply = options.mode == "drain-stop" || options.mode == "status-flood";
  return options.hosts > 0 && options.rounds > 0 && options.children >= 0 && options.divisor > 0 && options.kills > 0 &&
         (!options.processGroups || groupsApply) && (options.mode == "start" || options.mode == "drain" || groupsApply);
}

// Before any module is made: every tree of this process is then one of
// process groups, as where the kernel refuses to clone into a control group.
void UseProcessGroups() {
#if defined(_WIN32)
  std::fprintf(Figures(), "--process-groups does not apply on Windows (trees are job objects): ignored\n");
#else
  xplat::SetCloneRefusalForTesting(ENOSYS);
#endif
}

int Run(const Options& options) {
  const QuietOutput quiet(fs::temp_directory_path() /
                          ("custodex-tree-bench-" + std::to_string(xplat::CurrentProcessId()) + ".out"));
  if (options.processGroups) UseProcessGroups();
  if (options.mode == "start") return Start(options);
  if (options.mode == "drain") return Drain(options);
  return options.mode == "drain-stop" ? DrainStop(options) : StatusFloodRestarts(options);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    if (!Parse(argc, argv, options)) {
      std::fprintf(stderr,
                   "usage: custodex-tree-bench start [--hosts N] [--rounds N]\n"
                   "       custodex-tree-bench drain [--hosts N] [--children N] [--linger-ms MS] [--exit-ms MS]\n"
                   "       custodex-tree-bench drain-stop [--hosts N] [--children N] [--divisor N] [--process-groups]\n"
                   "       custodex-tree-bench status-flood [--hosts N] [--children N] [--kills N] "
                   "[--process-groups]\n");
      return 2;
    }
    return Run(options);
  } catch (const std::exception& error) {  // after the destructors have ended every process
    std::fprintf(stderr, "custodex-tree-bench: %s\n", error.what());
    return 1;
  }
}
