// Reading a host policy of N hosts against a module list of N entries:
// ParseData adding every host, beside the single-pass floor that does the
// same real work once: the list loaded as the module loads it, indexed by
// host, and one existence test of each host's module file. The two are
// timed in turns, in the same run. The module file each entry names is this
// program itself, so every host is found.
//
// Every measured policy meets a new version of the list, written before the
// timing with a last write time 10 s back (as a list written earlier is), so
// each includes its one parse. One series also meets a list written just
// before: the module then reads the file again on every look until it has
// aged past the window in which a rewrite could keep its version.
//
// The summary at the end gives min/median/max of the repetitions and the
// targets: with the module's lines filtered, N = 2000 at most 20x the floor,
// N = 500 at most 10x, and from N = 500 to N = 2000 at most 8x the time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>

#include "config/agent_config.h"
#include "config/xml_file.h"
#include "config/xml_file_cache.h"
#include "host_bench_support.h"
#include "hosts/custodex.h"
#include "xplat/dynamic_library.h"

namespace {

namespace fs = std::filesystem;
using bench_support::Seconds;
using Clock = std::chrono::steady_clock;

constexpr int kLogging = 1;
constexpr int kJustWritten = 2;
constexpr double kTargetAt2000 = 20;
constexpr double kTargetAt500 = 10;
constexpr double kTargetGrowth = 8;

struct Sample {
  double measured = 0;
  double floor = 0;
};
std::map<std::pair<int, int>, std::vector<Sample>> samples;  // (hosts, mode) -> repetitions

// Writes a new version of the list: its size alternates, so even a list
// rewritten within the same tick of the file system's clock is a new version.
void WriteNewListVersion(const std::vector<std::wstring>& names, bool aged) {
  static int version = 0;
  const fs::path path = zav::custody::LocateConfigFile();
  std::string list = bench_support::ModuleList(names, fs::path(xplat::ExecutablePath()).filename().wstring());
  if (++version % 2 == 0) list += "<!-- rewritten -->\n";
  bench_support::WriteFile(path, list);
  if (aged) fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(10));
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

// The floor: one load of the list, an index of its entries by host, and one
// existence test per policy host.
double TimeSinglePass(const std::wstring& listPath, const std::vector<std::wstring>& names, bool& failed) {
  const auto start = Clock::now();
  zav::custody::XmlFile file;
  zav::custody::LoadXmlFile(listPath, file);
  std::unordered_map<std::wstring, std::wstring> fileOfHost;
  for (const pugi::xml_node& node : file.document.first_element_by_path(L"configuration/zavmodules").children()) {
    const std::wstring path = node.attribute(L"file").value();
    fileOfHost.emplace(node.attribute(L"host").value(), path.substr(path.find_last_of(L"\\/") + 1));
  }
  const std::wstring folder = xplat::FolderOf(xplat::ExecutablePath()) + xplat::kPathSeparator;
  std::size_t found = 0;
  for (const std::wstring& name : names) {
    const auto entry = fileOfHost.find(name);
    if (entry != fileOfHost.end() && xplat::IsRegularFile(folder + entry->second)) ++found;
  }
  const double elapsed = Seconds(Clock::now() - start);
  failed = !file.result || found != names.size() || failed;
  return elapsed;
}

void BM_ParseDataAddsHosts(benchmark::State& state) {
  const int hosts = static_cast<int>(state.range(0));
  const int mode = static_cast<int>(state.range(1));
  const auto names = bench_support::HostNames(L"Policy", hosts);
  const std::wstring listPath = zav::custody::LocateConfigFile();
  bench_support::PrepareAgentKeys(mode == kLogging);
  zav::custody::Custodex module;
  EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
  FillPolicyRecord(record, bench_support::Policy(names));
  bool failed = false;
  for (auto _ : state) {
    WriteNewListVersion(names, mode != kJustWritten);
    Sample sample;
    if (samples[{hosts, mode}].size() % 2 == 1) sample.floor = TimeSinglePass(listPath, names, failed);
    sample.measured = TimeParseData(module, record, names.size(), failed);
    if (sample.floor == 0) sample.floor = TimeSinglePass(listPath, names, failed);
    samples[{hosts, mode}].push_back(sample);
    state.SetIterationTime(sample.measured);
  }
  if (failed) state.SkipWithError("not every host was added");
  const char* labels[] = {"lines filtered", "lines logged to file", "lines filtered, list written just before"};
  state.SetLabel(labels[mode]);
}
BENCHMARK(BM_ParseDataAddsHosts)
    ->Args({100, 0})
    ->Args({500, 0})
    ->Args({2000, 0})
    ->Args({100, kLogging})
    ->Args({500, kLogging})
    ->Args({2000, kJustWritten})
    ->Iterations(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

struct Spread {
  double min = 0;
  double median = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return {};
  return {values.front(), values[values.size() / 2], values.back()};
}

Spread Measured(int hosts, int mode) {
  std::vector<double> values;
  for (const Sample& sample : samples[{hosts, mode}]) values.push_back(sample.measured * 1e3);
  return SpreadOf(values);
}

Spread Floor(int hosts, int mode) {
  std::vector<double> values;
  for (const Sample& sample : samples[{hosts, mode}]) values.push_back(sample.floor * 1e3);
  return SpreadOf(values);
}

const char* Verdict(bool met) { return met ? "met" : "missed"; }

void PrintSummary() {
  std::printf("\npolicy of N hosts, ms (min / median / max of the repetitions)\n");
  const char* modes[] = {"filtered", "logged", "filtered, list just written"};
  for (const auto& [key, list] : samples) {
    const Spread measured = Measured(key.first, key.second);
    const Spread floor = Floor(key.first, key.second);
    std::printf("  N=%-5d %-28s ParseData %8.2f / %8.2f / %8.2f   floor %6.3f / %6.3f / %6.3f   %6.1fx\n", key.first,
                modes[key.second], measured.min, measured.median, measured.max, floor.min, floor.median, floor.max,
                measured.median / floor.median);
  }
  if (samples.count({500, 0}) == 0 || samples.count({2000, 0}) == 0) return;
  const double at500 = Measured(500, 0).median / Floor(500, 0).median;
  const double at2000 = Measured(2000, 0).median / Floor(2000, 0).median;
  const double growth = Measured(2000, 0).median / Measured(500, 0).median;
  std::printf(
      "  targets, lines filtered: N=2000 %.1fx floor (at most %.0fx: %s); N=500 %.1fx (at most %.0fx: %s); "
      "500 -> 2000 grows %.1fx (at most %.0fx: %s)\n",
      at2000, kTargetAt2000, Verdict(at2000 <= kTargetAt2000), at500, kTargetAt500, Verdict(at500 <= kTargetAt500),
      growth, kTargetGrowth, Verdict(growth <= kTargetGrowth));
  if (samples.count({500, kLogging}) != 0) {
    std::printf("  the scan's lines at N=500 cost %.1f ms per policy\n",
                Measured(500, kLogging).median - Measured(500, 0).median);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int result = bench_support::RunInTemporaryMachine(argc, argv, PrintSummary);
  return result;
}
