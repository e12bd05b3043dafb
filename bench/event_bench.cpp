// Archive and broker costs per record: what every posted event pays.

#include <benchmark/benchmark.h>

#include <cstring>
#include <sstream>

#include "module/event_data.h"
#include "module/text_archive.h"

namespace {

void FillPolicyRecord(EventData& record, std::size_t payloadBytes) {
  record.Category = L"ZAV.Service";
  record.Name = L"ApplyHostPolicy";
  record.Sender = L"Service";
  record.DataLength = static_cast<std::uint32_t>(payloadBytes);
  record.Data = new unsigned char[payloadBytes];
  std::memset(record.Data, 'x', payloadBytes);
}

void BM_SaveLoadRoundTrip(benchmark::State& state) {
  EventData record;
  FillPolicyRecord(record, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::stringstream stream;
    zav::SaveEvent(stream, record);
    EventData copy;
    zav::LoadEvent(stream, copy);
    benchmark::DoNotOptimize(copy.Data);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SaveLoadRoundTrip)->Arg(0)->Arg(4096)->Arg(256 << 10);

}  // namespace
