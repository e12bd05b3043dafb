// Costs of the logger's hot paths, through the real logging library stand-in.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "logging/logger.h"
#include "xplat/environment.h"
#include "xplat/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kAgentKey[] = L"Software\\Corvane\\DEDedad";

// A logger constructed under the given registry settings.
std::unique_ptr<CLogger> MakeLogger(const std::wstring& name, const std::wstring& filter,
                                    const std::wstring& override) {
  xplat::RegistryKey::DeleteTree(kAgentKey);
  xplat::RegistryKey key = xplat::RegistryKey::Create(kAgentKey);
  if (!filter.empty()) key.Set(L"LogLevelFilter", xplat::StringValue(filter));
  if (!override.empty()) key.Set(L"LogLevelOverride", xplat::StringValue(override));
  return std::make_unique<CLogger>(name);
}

void BM_LineDroppedByNameFilter(benchmark::State& state) {
  auto logger = MakeLogger(L"Custodex", L"!Custodex", L"");
  for (auto _ : state) logger->LogMsg(200, L"StartProcess: %ws", L"never formatted");
}
BENCHMARK(BM_LineDroppedByNameFilter);

// About 100 characters with two wide arguments; the back-end's level
// threshold (override "always") discards the line on arrival.
void BM_FormattedLineToDiscardingBackEnd(benchmark::State& state) {
  auto logger = MakeLogger(L"Custodex", L"", L"always");
  for (auto _ : state) {
    logger->LogMsg(200, L"StartProcess: CreateProcess for host %ws started %ws with the switch -m and pid %d",
                   L"HostAlpha", L"C:\\Program Files\\Corvane\\QVH-HostAlpha.exe", 4242);
  }
  logger->SetLevelOverride(false);
}
BENCHMARK(BM_FormattedLineToDiscardingBackEnd);

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
