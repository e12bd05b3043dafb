// Costs of the logger's hot paths, through the real logging library stand-in.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <vector>

#include "config/agent_keys.h"
#include "logging/logger.h"
#include "xplat/environment.h"
#include "xplat/registry.h"

namespace {

namespace fs = std::filesystem;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// A logger constructed under the given registry settings.
std::unique_ptr<CLogger> MakeLogger(const std::wstring& name, const std::wstring& filter,
                                    const std::wstring& override) {
  xplat::RegistryKey::DeleteTree(agent_keys::kAgent);
  xplat::RegistryKey key = xplat::RegistryKey::Create(agent_keys::kAgent);
  if (!filter.empty()) key.Set(L"LogLevelFilter", xplat::StringValue(filter));
  if (!override.empty()) key.Set(L"LogLevelOverride", xplat::StringValue(override));
  return std::make_unique<CLogger>(name);
}

void BM_LineDroppedByNameFilter(benchmark::State& state) {
  auto logger = MakeLogger(L"Custodex", L"!Custodex", L"");
  for (auto _ : state) logger->LogMsg(200, L"StartProcess: %ws", L"never formatted");
}
BENCHMARK(BM_LineDroppedByNameFilter);

constexpr double kLineTargetTimesFloor = 1.5;
constexpr int kLinesPerRound = 2000;

// The floors: the same line formatted by glibc with its own conventions, into
// a buffer of the logger's size, bare or zero-filled as the logger's is.
void FloorLine(bool zeroFilled, const wchar_t* format, ...) {
  wchar_t line[2050];
  if (zeroFilled) std::wmemset(line, L'\0', 2050);
  va_list args;
  va_start(args, format);
  std::vswprintf(line, 2049, format, args);
  va_end(args);
  benchmark::DoNotOptimize(line);
  benchmark::ClobberMemory();
}

template <typename Line>
double NsPerLine(Line line) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLinesPerRound; ++i) line();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kLinesPerRound;
}

// About 100 characters with two wide arguments; the back-end's level
// threshold (override "always") discards the line on arrival. The floors are
// timed in the same rounds, in turn with the logger, so noise hits all three.
void BM_FormattedLineToDiscardingBackEnd(benchmark::State& state) {
  auto logger = MakeLogger(L"Custodex", L"", L"always");
  std::vector<double> logged, zeroFilled, bare;
  for (auto _ : state) {
    logged.push_back(NsPerLine([&] {
      logger->LogMsg(200, L"StartProcess: CreateProcess for host %ws started %ws with the switch -m and pid %d",
                     L"HostAlpha", L"C:\\Program Files\\Corvane\\QVH-HostAlpha.exe", 4242);
    }));
    for (const bool filled : {true, false}) {
      (filled ? zeroFilled : bare).push_back(NsPerLine([&] {
        FloorLine(filled, L"StartProcess: CreateProcess for host %ls started %ls with the switch -m and pid %d",
                  L"HostAlpha", L"C:\\Program Files\\Corvane\\QVH-HostAlpha.exe", 4242);
      }));
    }
    state.SetIterationTime(logged.back() * kLinesPerRound / 1e9);
  }
  logger->SetLevelOverride(false);
  const double line = Median(logged);
  const double floor = Median(zeroFilled);
  state.counters["line_ns"] = line;
  state.counters["zero_filled_floor_ns"] = floor;
  state.counters["bare_floor_ns"] = Median(bare);
  state.counters["x_zero_filled_floor"] = line / floor;
  state.SetLabel(line <= kLineTargetTimesFloor * floor ? "target 1.5x zero-filled floor: met"
                                                       : "target 1.5x zero-filled floor: missed");
}
BENCHMARK(BM_FormattedLineToDiscardingBackEnd)->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_LinesToLogFile(benchmark::State& state) {
  auto logger = MakeLogger(L"Custodex", L"", L"");
  for (auto _ : state) {
    logger->LogMsg(200, L"CheckThatHostIsStillRunning: Module %ws already running.", L"HostAlpha");
  }
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LinesToLogFile);

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = fs::temp_directory_path() / ("custodex-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  xplat::WriteEnvironment(L"CUSTODEX_REGISTRY_ROOT", (folder / "registry").wstring());
  xplat::WriteEnvironment(L"TALLYX_LOG_FILE", (folder / "bench.log").wstring());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(folder);
  return 0;
}
