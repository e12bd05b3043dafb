// How fast and how cheaply the host manager supervises, with its features on
// and by default, in one run. A portable program (Linux, and Windows under
// Wine), not a Google Benchmark one:
//
//   custodex-supervision-bench restart [--hosts 64] [--kills 200] [--default-kills 3] [--image idle|qvhost]
//   custodex-supervision-bench crash-loop [--seconds 600] [--without-back-off-seconds 60]
//
// restart: 64 hosts, each external kill timed from the old process's end (a
// wait on it returns) to the new process's own start stamp (start_stamp.h),
// with wake on host exit, and with the default 30-second wake-up. The image
// is the idle host (the cheapest program) or the real qvhost.exe stand-in;
// either is copied per restart, as always. Logging at level 200.
// crash-loop: one host that ends at once every time, with wake on host exit;
// the CPU this process uses over the period, with the restart back-off and
// without it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "hosts/custodex.h"
#include "module_machine.h"
#include "start_stamp.h"
#include "xplat/clock.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using module_bench::HostNames;
using module_bench::Machine;
using module_bench::ModuleRun;

constexpr double kMedianTargetRatio = 1.2;  // of the floor's median
constexpr double kCpuTargetPercent = 1;

struct Options {
  std::string mode;
  int hosts = 64;
  int kills = 200;
  int defaultKills = 3;
  std::string image = "idle";
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

// The hosts' start stamps: host -> (pid, ns) of its newest process.
class Stamps {
 public:
  explicit Stamps(fs::path file) : path(std::move(file)) {}

  void Read() {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written
      offset += line.size() + 1;
      std::istringstream fields(line);
      std::string host;
      std::uint32_t pid = 0;
      std::uint64_t ns = 0;
      if (fields >> host >> pid >> ns) {
        latest[host] = {pid, ns};
        ++starts[host];
      }
    }
  }
  // Waits until the host's newest process is another than `old`; its start.
  bool AwaitNew(const std::string& host, std::uint32_t old, std::uint64_t& startNs, std::chrono::milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(1ms)) {
      Read();
      const auto found = latest.find(host);
      if (found != latest.end() && found->second.first != old) {
        startNs = found->second.second;
        return true;
      }
    }
    return false;
  }
  // How many processes of the host have started so far.
  std::size_t Starts(const std::string& host) {
    Read();
    return starts[host];
  }
  std::uint32_t Pid(const std::string& host) {
    Read();
    return latest.count(host) ? latest[host].first : 0;
  }
  // Of these hosts, those whose newest process started at least minimumMs ago.
  std::vector<std::string> RunningFor(const std::vector<std::wstring>& hosts, std::uint64_t minimumMs) {
    Read();
    std::vector<std::string> running;
    const std::uint64_t now = custodex_monotonic_ns();
    for (const std::wstring& name : hosts) {
      const auto stamp = latest.find(xplat::ToUtf8(name));
      if (stamp != latest.end() && now - stamp->second.second >= minimumMs * 1000000) running.push_back(stamp->first);
    }
    return running;
  }
  // How many of these hosts have started.
  std::size_t Count(const std::vector<std::wstring>& hosts) {
    Read();
    return static_cast<std::size_t>(std::count_if(hosts.begin(), hosts.end(), [this](const std::wstring& host) {
      return latest.count(xplat::ToUtf8(host)) != 0;
    }));
  }
  std::vector<std::uint32_t> Pids() {
    Read();
    std::vector<std::uint32_t> pids;
    for (const auto& [host, stamp] : latest) pids.push_back(stamp.first);
    return pids;
  }

 private:
  fs::path path;
  std::size_t offset = 0;
  std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> latest;
  std::map<std::string, std::size_t> starts;
};

void Settings(const Machine& machine, bool wakeOnHostExit, bool backOff) {
  machine.Setting(L"WakeOnHostExit", wakeOnHostExit);
  machine.Setting(L"RestartBackOff", backOff);
}

struct Figures {
  double medianMs = 0;
  double longestMs = 0;
  int measured = 0;
};

Figures Summarise(std::vector<double> latencies) {
  Figures figures;
  figures.measured = static_cast<int>(latencies.size());
  if (latencies.empty()) return figures;
  std::sort(latencies.begin(), latencies.end());
  figures.medianMs = latencies[latencies.size() / 2];
  figures.longestMs = latencies.back();
  return figures;
}

// The floor: the same real work without the module. Its one host, a copy
// of the image like the module's, is watched by a thread of its own, as
// the module's are by the module's thread: as soon as its wait returns, the
// copy is made again and started, and the new process stamps its start.
class FloorHost {
 public:
  explicit FloorHost(const Machine& machine)
      : source((machine.Program() / "qvhost.exe").wstring()), image((machine.Program() / "QVH-Floor.exe").wstring()) {
    if (!Start()) return;
    supervisor = std::thread([this] {
      while (host.process.WaitForExit(xplat::kInfinite) && !stopping) {
        host = xplat::StartedProcess();
        if (!xplat::DeleteFile(image) || !Start()) return;
      }
    });
  }
  ~FloorHost() {
    stopping = true;
    while (supervisor.joinable() && !host.process.HasEnded()) {
      xplat::TerminateProcessById(host.processId, 1);
      std::this_thread::sleep_for(1ms);
    }
    if (supervisor.joinable()) supervisor.join();
  }

 private:
  bool Start() { return xplat::CopyFile(source, image) && xplat::StartProgram(image, L"-m Floor", host); }

  std::wstring source;
  std::wstring image;
  xplat::StartedProcess host;
  std::atomic<bool> stopping{false};
  std::thread supervisor;
};

struct RestartFigures {
  Figures module;
  Figures floor;
};

// Kills of the module's hosts, each beside one of the floor's host when
// withFloor: both restart among the same running copies, at the same time.
RestartFigures MeasureRestarts(Machine& machine, bool wakeOnHostExit, int kills, int hostCount, bool withFloor) {
  const std::vector<std::wstring> names = HostNames(hostCount);
  Settings(machine, wakeOnHostExit, false);
  machine.ModuleList(names);
  Stamps stamps(machine.Stamps());
  std::vector<double> latencies;
  std::vector<double> floorLatencies;
  {
    ModuleRun run(machine, names);
    for (const auto end = std::chrono::steady_clock::now() + 60s;
         stamps.Count(names) < names.size() && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(10ms);
    std::optional<FloorHost> floor;
    if (withFloor) floor.emplace(machine);
    std::mt19937 random(14);
    // Ends the host's newest process from outside: the time from its end
    // to its successor's own start, when one comes.
    const auto restart = [&](const std::string& host, std::chrono::seconds limit) -> std::optional<double> {
      const std::uint32_t old = stamps.Pid(host);
      const xplat::ProcessHandle process = xplat::OpenProcessForWaiting(old);
      if (!process || !xplat::TerminateProcessById(old, 1) || !process.WaitForExit(10000)) return std::nullopt;
      const std::uint64_t endedNs = custodex_monotonic_ns();
      std::uint64_t startNs = 0;
      if (!stamps.AwaitNew(host, old, startNs, limit)) return std::nullopt;
      return startNs > endedNs ? static_cast<double>(startNs - endedNs) / 1e6 : 0;
    };
    for (int i = 0; i < kills; ++i) {
      // At any moment of the default wake-up period, or soon after the last restart.
      std::this_thread::sleep_for(std::chrono::milliseconds(wakeOnHostExit ? 5 + random() % 20 : random() % 30000));
      // A host that has run a second: a sooner restart would wait for it.
      std::vector<std::string> ready = stamps.RunningFor(names, zav::custody::kStartIntervalMs);
      while (ready.empty()) {
        std::this_thread::sleep_for(10ms);
        ready = stamps.RunningFor(names, zav::custody::kStartIntervalMs);
      }
      if (const std::optional<double> ms = restart(ready[random() % ready.size()], wakeOnHostExit ? 10s : 40s)) {
        latencies.push_back(*ms);
      }
      if (!floor) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 20));
      if (const std::optional<double> ms = restart("Floor", 10s)) floorLatencies.push_back(*ms);
    }
  }
  return RestartFigures{Summarise(latencies), Summarise(floorLatencies)};
}

int Restart(const Options& options) {
  Machine machine("custodex-supervision-bench", options.image);
  std::printf("restart after an external kill: %d hosts, %s as qvhost.exe (copied per restart), logging at 200\n",
              options.hosts, options.image == "qvhost" ? "the qvhost.exe stand-in" : "the idle host");
  const RestartFigures fast = MeasureRestarts(machine, true, options.kills, options.hosts, true);
  const Figures& floor = fast.floor;
  const bool met =
      fast.module.measured > 0 && floor.measured > 0 && fast.module.medianMs <= kMedianTargetRatio * floor.medianMs;
  std::printf("  floor (copy and start):  %4d kills  median %8.2f ms  longest %8.2f ms\n", floor.measured,
              floor.medianMs, floor.longestMs);
  std::printf(
      "  wake on host exit:       %4d kills  median %8.2f ms  longest %8.2f ms  (%.2fx the floor; target %.1fx: %s)\n",
      fast.module.measured, fast.module.medianMs, fast.module.longestMs,
      floor.medianMs > 0 ? fast.module.medianMs / floor.medianMs : 0.0, kMedianTargetRatio, met ? "met" : "missed");
  if (options.defaultKills > 0) {
    const Figures slow = MeasureRestarts(machine, false, options.defaultKills, options.hosts, false).module;
    std::printf("  default 30-s wake-up:   %4d kills  median %8.2f ms  longest %8.2f ms\n", slow.measured,
                slow.medianMs, slow.longestMs);
  }
  return met ? 0 : 1;
}

struct CrashLoopFigures {
  double cpuPercent = 0;
  double seconds = 0;
  std::size_t starts = 0;

  double StartsPerSecond() const { return seconds > 0 ? static_cast<double>(starts) / seconds : 0; }
  // At most one a second: a window of n seconds holds n + 1 at most.
  bool AtMostOneASecond() const { return static_cast<double>(starts) <= seconds + 1; }
};

// One host that ends at once every time, with wake on host exit: the CPU
// this process uses over the period, and the host's starts a second.
CrashLoopFigures MeasureCrashLoop(Machine& machine, bool backOff, int seconds) {
  const std::vector<std::wstring> names{L"Crashy"};
  Settings(machine, true, backOff);
  machine.ModuleList(names);
  xplat::WriteEnvironment(L"CUSTODEX_BENCH_CRASH", L"Crashy");
  Stamps stamps(machine.Stamps());
  ModuleRun run(machine, names);
  const std::size_t startsBefore = stamps.Starts("Crashy");
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return CrashLoopFigures{(CpuSeconds() - cpu) * 100 / elapsed, elapsed, stamps.Starts("Crashy") - startsBefore};
}

int CrashLoop(const Options& options) {
  Machine machine("custodex-supervision-bench", "idle");
  std::printf("a host that ends at once every time, wake on host exit on: CPU of the service process\n");
  const CrashLoopFigures withBackOff = MeasureCrashLoop(machine, true, options.seconds);
  bool met = withBackOff.cpuPercent <= kCpuTargetPercent;
  std::printf("  restart back-off on:   %5d s  %6.3f %% of one core  %6.3f starts a second  (target %.0f %%: %s)\n",
              options.seconds, withBackOff.cpuPercent, withBackOff.StartsPerSecond(), kCpuTargetPercent,
              met ? "met" : "missed");
  if (options.withoutBackOffSeconds > 0) {
    const CrashLoopFigures alone = MeasureCrashLoop(machine, false, options.withoutBackOffSeconds);
    const bool spaced = alone.AtMostOneASecond();
    std::printf(
        "  restart back-off off:  %5d s  %6.3f %% of one core  %6.3f starts a second, %zu in all  (target at most one "
        "a "
        "second: %s)\n",
        options.withoutBackOffSeconds, alone.cpuPercent, alone.StartsPerSecond(), alone.starts,
        spaced ? "met" : "missed");
    met = met && spaced;
  }
  return met ? 0 : 1;
}

bool Parse(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--hosts")
      options.hosts = std::stoi(value);
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
  return options.mode == "restart" || options.mode == "crash-loop";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: custodex-supervision-bench restart [--hosts N] [--kills N] [--default-kills N] "
                 "[--image idle|qvhost]\n"
                 "       custodex-supervision-bench crash-loop [--seconds N] [--without-back-off-seconds N]\n");
    return 2;
  }
  return options.mode == "restart" ? Restart(options) : CrashLoop(options);
}
