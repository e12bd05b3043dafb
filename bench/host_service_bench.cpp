// The host manager as the service runs it: the Custodex library's exported
// Execute on a thread of its own, the real broker and logging stand-ins, and
// real hosts (copies of qvhost.exe running the sample module, in this
// program's folder). Measured: one "ZAV.Service.ApplyHostPolicy" event to
// every host running, beside the floor of copying and spawning the same hosts
// directly; the module's resident memory and its CPU time while idle over
// whole 30-second wake-up periods; and, with a Custodex object driven in
// this process, the time from a host ended from outside to its new process,
// with the module's own wake-up and with a shortened one.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "config/agent_keys.h"
#include "host_bench_support.h"
#include "hosts/custodex.h"
#include "module/broker_binding.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/event_signal.h"
#include "xplat/process_tree.h"
#include "xplat/registry.h"

namespace {

namespace fs = std::filesystem;
using bench_support::Seconds;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kHosts = 64;
constexpr int kLogging = 1;
constexpr std::uint32_t kAnswerWaitMs = 60000;
constexpr char kBanner[] = "**** Running Custodex Process Thread ****";
constexpr std::int32_t kPassTimingWakeUpMs = 1000;

// The service's side of the broker.
class Service {
 public:
  Service() : signal(xplat::CreateEventSignal(L"BenchService")) {
    for (const wchar_t* name : kHeard) broker.Queue()->Register(name, *signal);
  }
  ~Service() {
    Drain();
    for (const wchar_t* name : kHeard) broker.Queue()->Unregister(name, *signal);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Await(const std::wstring& fullName, std::uint32_t ms = kAnswerWaitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      for (const std::wstring& name : Drain()) {
        if (name == fullName) return true;
      }
      if (Clock::now() > end) return false;
      signal->Wait(100);
    }
  }
  bool Send(const std::wstring& fullName) {
    EventData record;
    BrokerBinding::SplitFullName(fullName, record.Category, record.Name);
    return broker.Post(record);
  }
  bool SendPolicy(const std::string& xml) {
    EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
    record.DataLength = static_cast<std::uint32_t>(xml.size());
    record.Data = reinterpret_cast<unsigned char*>(const_cast<char*>(xml.data()));
    return broker.Post(record);  // the record now owns the binding's copy
  }

 private:
  static constexpr const wchar_t* kHeard[] = {L"ZAV.Service.RequestPolicy", L"ZAV.Service.UpdatePolicy",
                                              L"ZAV.Service.HostUpgrade", L"ZAV.Service.UnloadModuleForHosting"};

  std::vector<std::wstring> Drain() {
    std::vector<std::wstring> names;
    while (EventData* record = broker.Queue()->Pull(*signal)) {
      names.push_back(record->FullName());
      broker.Queue()->Release(record);
    }
    return names;
  }

  BrokerBinding broker;
  std::unique_ptr<xplat::EventSignal> signal;
};

// The module prints a line to standard output after every wake-up: kept in a
// file while it runs, so the report stays readable and wake-ups can be counted.
class StdoutCapture {
 public:
  StdoutCapture() : file(bench_support::MachineFolder() / "module-stdout.txt") {
    std::fflush(stdout);
    saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::size_t WakeUps() const {
    std::fflush(stdout);
    std::ifstream in(file);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) count += line == kBanner;
    return count;
  }

 private:
  fs::path file;
  int saved = -1;
};

// A module's Execute on a thread of its own, from its start-up policy
// request to "ZAV.Service.TerminateThread"; then every host still running
// is ended.
class ModuleThread {
 public:
  ModuleThread(Service& service, std::function<void()> execute) : service(service) {
    thread = std::thread([this, execute] {
      threadId = ::gettid();
      execute();
    });
    started = service.Await(L"ZAV.Service.RequestPolicy");
  }
  ~ModuleThread() {
    service.Send(L"ZAV.Service.TerminateThread");
    thread.join();
    bench_support::EndChildProcesses();
    // The trees the module left held hosts that have now ended: their
    // groups go, as the next module of the install would take them.
    xplat::ProcessTreeSet(bench_support::ProgramFolder().wstring()).TakeOverLeftTrees();
  }
  ModuleThread(const ModuleThread&) = delete;
  ModuleThread& operator=(const ModuleThread&) = delete;

  bool Started() const { return started; }
  std::vector<pid_t> Hosts() const { return bench_support::ChildrenOfThread(threadId); }
  double CpuSeconds() {
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &now) != 0) return -1;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

 private:
  Service& service;
  std::thread thread;
  std::atomic<pid_t> threadId{0};
  bool started = false;
};

using ExecuteFunction = std::int32_t (*)();

// The module library stays loaded once loaded, as in the service.
ExecuteFunction ExportedExecute() {
  static const xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(xplat::LibraryFileName(L"Custodex"));
  return library.Find<ExecuteFunction>("Execute");
}

// The policy, then "ZAV.Service.UpdatePolicy": the module handles its records
// in order, so its answer to the second means it is done with the first.
bool ApplyPolicy(Service& service, const std::vector<std::wstring>& hosts) {
  return service.SendPolicy(bench_support::Policy(hosts)) && service.Send(L"ZAV.Service.UpdatePolicy") &&
         service.Await(L"ZAV.Service.RequestPolicy");
}

std::vector<std::wstring> PrepareHosts(const std::wstring& prefix, bool moduleLogging) {
  const auto names = bench_support::HostNames(prefix, kHosts);
  bench_support::PrepareAgentKeys(moduleLogging);
  bench_support::WriteModuleList(names, xplat::LibraryFileName(L"ZAVSample"));
  return names;
}

// Until the module has woken `count` more times than `seen`; false after
// a wait longer than those wake-ups can take.
bool AwaitWakeUps(const StdoutCapture& capture, std::size_t seen, std::size_t count, std::chrono::seconds limit) {
  for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
    if (capture.WakeUps() >= seen + count) return true;
  }
  return false;
}

// Every setting beyond the module's defaults, on.
void TurnEveryFeatureOn() {
  xplat::RegistryKey key = xplat::RegistryKey::Create(agent_keys::kCustodex);
  for (const wchar_t* name : {L"WakeOnHostExit", L"RestartBackOff", L"HostStatus", L"AdoptHosts", L"TrackHostTrees",
                              L"StopHostsThatDoNotEnd", L"PublishHostEvents"}) {
    key.Set(name, xplat::RegistryValue{xplat::kRegDword, {1, 0, 0, 0}});
  }
}

// Registered first: the module library is loaded inside this measurement.
// The idle window runs from one of the module's own 30-second wake-ups to
// the wake-up `periods` later, so it covers whole periods and every pass in
// them. The second argument turns every feature on.
void BM_IdleWith64Hosts(benchmark::State& state) {
  const auto names = PrepareHosts(L"Idle", true);
  if (state.range(1) != 0) TurnEveryFeatureOn();
  const auto periods = static_cast<std::size_t>(state.range(0));
  StdoutCapture capture;
  Service service;
  const std::size_t before = bench_support::ResidentBytes();
  for (auto _ : state) {
    ModuleThread module(service, [] { ExportedExecute()(); });
    if (!module.Started() || !ApplyPolicy(service, names) || module.Hosts().size() != names.size()) {
      state.SkipWithError("the hosts did not start");
      break;
    }
    const std::size_t applied = bench_support::ResidentBytes();
    const auto limit = std::chrono::seconds(40 * (periods + 1));
    if (!AwaitWakeUps(capture, capture.WakeUps(), 1, limit)) {
      state.SkipWithError("the module did not wake up");
      break;
    }
    const std::size_t wakeUps = capture.WakeUps();
    const double cpu = module.CpuSeconds();
    const auto start = Clock::now();
    if (!AwaitWakeUps(capture, wakeUps, periods, limit)) {
      state.SkipWithError("the module did not wake up");
      break;
    }
    const double window = Seconds(Clock::now() - start);
    const double cpuSeconds = module.CpuSeconds() - cpu;
    state.SetIterationTime(window);
    state.counters["periods"] = static_cast<double>(periods);
    state.counters["window_s"] = window;
    state.counters["idle_cpu_us_per_period"] = cpuSeconds * 1e6 / static_cast<double>(periods);
    state.counters["idle_cpu_percent"] = cpuSeconds * 100 / window;
    state.counters["module_rss_KiB"] = static_cast<double>(applied - before) / 1024;
    state.counters["idle_rss_growth_KiB"] =
        (static_cast<double>(bench_support::ResidentBytes()) - static_cast<double>(applied)) / 1024;
  }
  bench_support::RemoveHostFiles(bench_support::ProgramFolder(), names);
}
BENCHMARK(BM_IdleWith64Hosts)
    ->Args({3, 0})
    ->Args({3, 1})
    ->ArgNames({"periods", "every_feature"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// From the module's first sight of the policy to its answer to the record
// posted after it, with the module started beforehand.
double TimePolicyEvent(Service& service, const std::vector<std::wstring>& names, bool& failed) {
  double elapsed = 0;
  {
    ModuleThread module(service, [] { ExportedExecute()(); });
    const auto start = Clock::now();
    const bool applied = module.Started() && ApplyPolicy(service, names);
    elapsed = Seconds(Clock::now() - start);
    failed = !applied || module.Hosts().size() != names.size() || failed;
  }
  bench_support::RemoveHostFiles(bench_support::ProgramFolder(), names);
  return elapsed;
}

// The floor: xplat::CopyFile and xplat::StartProgram per host,
// with the same qvhost.exe, copies and command lines.
void BM_PolicyEventTo64Hosts(benchmark::State& state) {
  const auto names = PrepareHosts(L"Event", state.range(0) == kLogging);
  StdoutCapture capture;
  Service service;
  bench_support::FloorComparison comparison;
  bool failed = false;
  for (auto _ : state) {
    double floor =
        comparison.FloorFirst() ? bench_support::TimeCopyAndSpawn(bench_support::ProgramFolder(), names, failed) : 0;
    const double measured = TimePolicyEvent(service, names, failed);
    if (!comparison.FloorFirst())
      floor = bench_support::TimeCopyAndSpawn(bench_support::ProgramFolder(), names, failed);
    comparison.Add(measured, floor);
    state.SetIterationTime(measured);
  }
  if (failed) state.SkipWithError("the hosts did not start");
  comparison.Report(state);
  state.SetLabel(state.range(0) == kLogging ? "logged to file" : "logging filtered");
}
BENCHMARK(BM_PolicyEventTo64Hosts)->Arg(0)->Arg(kLogging)->MinTime(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// What the policy event's measurement adds: one record there and its answer back.
void BM_UpdatePolicyAnswer(benchmark::State& state) {
  PrepareHosts(L"Echo", false);
  StdoutCapture capture;
  Service service;
  ModuleThread module(service, [] { ExportedExecute()(); });
  for (auto _ : state) {
    if (!service.Send(L"ZAV.Service.UpdatePolicy") || !service.Await(L"ZAV.Service.RequestPolicy")) {
      state.SkipWithError("no answer");
    }
  }
}
BENCHMARK(BM_UpdatePolicyAnswer)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Until a host not among the sorted earlier ones runs, or the limit passes.
bool AwaitNewHost(const ModuleThread& module, const std::vector<pid_t>& earlier, std::chrono::milliseconds limit) {
  for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(200us)) {
    for (const pid_t host : module.Hosts()) {
      if (!std::binary_search(earlier.begin(), earlier.end(), host)) return true;
    }
  }
  return false;
}

// A host killed at a random moment of the module's wake-up interval; the
// time runs until the module has started its new process. Run with the
// module's own 30 seconds and with a short wake-up that tests use. First,
// with the short one, the CPU time of a supervision pass that finds every
// host running.
void BM_RestartAfterKill(benchmark::State& state) {
  const auto names = PrepareHosts(L"Kill", false);
  const auto wakeUpMs = static_cast<std::int32_t>(state.range(0));
  StdoutCapture capture;
  Service service;
  zav::custody::Custodex custodex;
  custodex.SetWaitTimeout(wakeUpMs);
  ModuleThread module(service, [&custodex] { custodex.Execute(); });
  if (!module.Started() || !ApplyPolicy(service, names)) state.SkipWithError("the hosts did not start");
  if (wakeUpMs <= kPassTimingWakeUpMs) {
    const std::size_t wakeUps = capture.WakeUps();
    const double cpu = module.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * wakeUpMs));
    const double passes = static_cast<double>(capture.WakeUps() - wakeUps);
    state.counters["cpu_per_pass_us"] = passes > 0 ? (module.CpuSeconds() - cpu) * 1e6 / passes : 0;
  }
  std::mt19937 random(8);
  double longest = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % static_cast<unsigned>(wakeUpMs)));
    std::vector<pid_t> before = module.Hosts();
    std::sort(before.begin(), before.end());
    const auto start = Clock::now();
    if (before.empty() ||
        !xplat::TerminateProcessById(static_cast<std::uint32_t>(before[random() % before.size()]), 1) ||
        !AwaitNewHost(module, before, std::chrono::milliseconds(wakeUpMs) + 10s)) {
      state.SkipWithError("no host was started again");
      break;
    }
    const double elapsed = Seconds(Clock::now() - start);
    longest = std::max(longest, elapsed);
    state.SetIterationTime(elapsed);
  }
  state.counters["wakeup_ms"] = wakeUpMs;
  state.counters["longest_ms"] = longest * 1e3;
  bench_support::RemoveHostFiles(bench_support::ProgramFolder(), names);
}
BENCHMARK(BM_RestartAfterKill)->Arg(30000)->Iterations(8)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestartAfterKill)->Arg(300)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  xplat::WriteEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS", L"3600000");
  return bench_support::RunInTemporaryMachine(argc, argv);
}
