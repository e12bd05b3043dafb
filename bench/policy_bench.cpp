// Reading a host policy: ParseData adding every host of a policy, each
// checked against the module list, beside the floor of loading that module
// list once per host with the parser alone (the wide-character load the
// module uses). The module file each entry names is this program itself, so
// every host is found.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "config/agent_config.h"
#include "config/xml_file.h"
#include "host_bench_support.h"
#include "hosts/custodex.h"
#include "xplat/dynamic_library.h"

namespace {

namespace fs = std::filesystem;
using bench_support::Seconds;
using Clock = std::chrono::steady_clock;

constexpr int kLogging = 1;

std::vector<std::wstring> PrepareModuleList(int hosts) {
  const auto names = bench_support::HostNames(L"Policy", hosts);
  bench_support::WriteModuleList(names, fs::path(xplat::ExecutablePath()).filename().wstring());
  return names;
}

void FillPolicyRecord(EventData& record, const std::string& policy) {
  record.DataLength = static_cast<std::uint32_t>(policy.size());
  record.Data = new unsigned char[policy.size()];
  std::memcpy(record.Data, policy.data(), policy.size());
}

double TimeParseData(zav::custody::Custodex& module, const EventData& record, std::size_t hosts, bool& failed) {
  module.Hosts().clear();
  const auto start = Clock::now();
  failed = module.ParseData(&record) || failed;
  const double elapsed = Seconds(Clock::now() - start);
  failed = module.Hosts().size() != hosts || failed;
  return elapsed;
}

double TimeListLoads(const std::wstring& path, std::size_t loads, bool& failed) {
  const auto start = Clock::now();
  for (std::size_t i = 0; i < loads; ++i) {
    zav::custody::XmlFile file;
    zav::custody::LoadXmlFile(path, file);
    failed = !file.result || failed;
  }
  return Seconds(Clock::now() - start);
}

// The floor: the module list loaded once per host, as LoadXmlFile loads it.
void BM_ParseDataAddsHosts(benchmark::State& state) {
  const auto names = PrepareModuleList(static_cast<int>(state.range(0)));
  const std::wstring listPath = zav::custody::LocateConfigFile();
  bench_support::PrepareAgentKeys(state.range(1) == kLogging);
  zav::custody::Custodex module;
  EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
  FillPolicyRecord(record, bench_support::Policy(names));
  bench_support::FloorComparison comparison;
  bool failed = false;
  for (auto _ : state) {
    double floor = comparison.FloorFirst() ? TimeListLoads(listPath, names.size(), failed) : 0;
    const double measured = TimeParseData(module, record, names.size(), failed);
    if (!comparison.FloorFirst()) floor = TimeListLoads(listPath, names.size(), failed);
    comparison.Add(measured, floor);
    state.SetIterationTime(measured);
  }
  if (failed) state.SkipWithError("not every host was added");
  comparison.Report(state);
  state.SetLabel(state.range(1) == kLogging ? "logged to file" : "logging filtered");
}
BENCHMARK(BM_ParseDataAddsHosts)
    ->Args({64, 0})
    ->Args({500, 0})
    ->Args({500, kLogging})
    ->MinTime(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What ParseData pays per host beside the list itself: the temporary agent
// configuration that names the list's path (it reads the list too, and
// publishes its settings in the registry).
void BM_AgentConfigPerHost(benchmark::State& state) {
  PrepareModuleList(static_cast<int>(state.range(0)));
  bench_support::PrepareAgentKeys(false);
  for (auto _ : state) {
    for (std::int64_t i = 0; i < state.range(0); ++i) benchmark::DoNotOptimize(zav::custody::AgentConfig());
  }
}
BENCHMARK(BM_AgentConfigPerHost)->Arg(64)->Arg(500)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return bench_support::RunInTemporaryMachine(argc, argv); }
