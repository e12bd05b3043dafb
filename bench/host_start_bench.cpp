// Starting and supervising hosts: one ApplyHostPolicy pass over many hosts
// beside the floor of copying the host executable and spawning each copy
// directly, and one supervision pass over live hosts. The host executable is
// custodex-bench-host, which sleeps until ended; each iteration ends and
// reaps its hosts and removes their copies outside the timed part.

#include <benchmark/benchmark.h>

#include <memory>

#include "host_bench_support.h"
#include "hosts/custodex.h"

namespace {

namespace fs = std::filesystem;
using bench_support::Seconds;
using Clock = std::chrono::steady_clock;

constexpr int kLogging = 1;

// A program folder of its own whose qvhost.exe is the idle host.
fs::path IdleHostFolder() {
  const fs::path folder = bench_support::MachineFolder() / "program";
  fs::create_directories(folder);
  fs::copy_file(bench_support::ProgramFolder() / "custodex-bench-host", folder / "qvhost.exe",
                fs::copy_options::overwrite_existing);
  return folder;
}

// The host manager with the idle host as its host executable.
std::unique_ptr<zav::custody::Custodex> MakeModule(const fs::path& folder, bool logging) {
  bench_support::PrepareAgentKeys(logging);
  bench_support::WriteModuleList({}, L"BenchModule.dll");  // the configuration reads it when constructed
  auto module = std::make_unique<zav::custody::Custodex>();
  bench_support::SetExecutePath(folder);
  return module;
}

void AddHosts(zav::custody::Custodex& module, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    zav::custody::HostRecord record;
    record.hostName = name;
    record.moduleName = L"BenchModule";
    record.fileName = L"BenchModule.dll";
    module.Add(record);
  }
}

void EndHosts(zav::custody::Custodex& module) {
  std::vector<const xplat::ProcessHandle*> processes;
  for (const auto& [name, record] : module.Hosts()) processes.push_back(&record.processHandle);
  bench_support::EndProcesses(processes);
  module.Hosts().clear();
}

double TimeApplyHostPolicy(zav::custody::Custodex& module, const fs::path& folder,
                           const std::vector<std::wstring>& names, bool& failed) {
  AddHosts(module, names);
  const auto start = Clock::now();
  failed = module.ApplyHostPolicy() != 0 || failed;
  const double elapsed = Seconds(Clock::now() - start);
  EndHosts(module);
  bench_support::RemoveHostFiles(folder, names);
  return elapsed;
}

// The floor: xplat::CopyFile and xplat::StartProgram per host,
// with the same copies and command lines.
void BM_ApplyHostPolicy(benchmark::State& state) {
  const fs::path folder = IdleHostFolder();
  const auto names = bench_support::HostNames(L"Start", static_cast<int>(state.range(0)));
  auto module = MakeModule(folder, state.range(1) == kLogging);
  bench_support::FloorComparison comparison;
  bool failed = false;
  for (auto _ : state) {
    double floor = comparison.FloorFirst() ? bench_support::TimeCopyAndSpawn(folder, names, failed) : 0;
    const double measured = TimeApplyHostPolicy(*module, folder, names, failed);
    if (!comparison.FloorFirst()) floor = bench_support::TimeCopyAndSpawn(folder, names, failed);
    comparison.Add(measured, floor);
    state.SetIterationTime(measured);
  }
  if (failed) state.SkipWithError("a host did not start");
  comparison.Report(state);
  state.SetLabel(state.range(1) == kLogging ? "logged to file" : "logging filtered");
}
BENCHMARK(BM_ApplyHostPolicy)
    ->Args({64, 0})
    ->Args({64, kLogging})
    ->MinTime(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Every host alive: the pass only looks at each process.
void BM_SupervisionPass(benchmark::State& state) {
  const fs::path folder = IdleHostFolder();
  const auto names = bench_support::HostNames(L"Watch", static_cast<int>(state.range(0)));
  auto module = MakeModule(folder, state.range(1) != 0);
  AddHosts(*module, names);
  if (module->ApplyHostPolicy() != 0) state.SkipWithError("a host did not start");
  for (auto _ : state) {
    if (!module->CheckThatHostIsStillRunning()) state.SkipWithError("a host ended");
  }
  EndHosts(*module);
  bench_support::RemoveHostFiles(folder, names);
  state.SetLabel(state.range(1) != 0 ? "logged (TALLYX_LEVEL decides)" : "logging filtered");
}
BENCHMARK(BM_SupervisionPass)->Args({64, 0})->Args({64, 1})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) { return bench_support::RunInTemporaryMachine(argc, argv); }
