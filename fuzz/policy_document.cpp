// Reads arbitrary bytes as the host policy that arrives as the data of
// "ZAV.Service.ApplyHostPolicy". Besides a crash, a leak or a huge
// allocation, a finding is the policy lock left held, or a segment that did
// not parse yet changed the host map.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host_manager.h"
#include "module/event_data.h"

namespace {

using zav::custody::Custodex;

// Alpha, Beta and the empty name (which the policy refuses) have their
// module file beside the program, so the policy's hosts are added now and
// then; Gamma's file is missing.
std::string ModuleList() {
  const std::string present = fuzz_support::PresentModuleFile();
  std::string entries;
  for (const char* host : {"Alpha", "Beta", ""}) {
    entries += std::string("<module host=\"") + host +
               "\" name=\"Mod\" description=\"d\" version=\"1\" file=\"modules\\" + present + "\" hash=\"h\"/>";
  }
  entries += "<module host=\"Gamma\" name=\"Mod\" version=\"1\" file=\"modules\\Missing.dll\" hash=\"h\"/>";
  return "<configuration><zavmodules>" + entries + "</zavmodules></configuration>";
}

Custodex& PreparedHostManager() {
  Custodex& manager = fuzz_support::HostManager();
  fuzz_support::WriteModuleList(ModuleList());
  return manager;
}

// A host the map holds before every input: a failed policy must keep it alone.
void AddKeptHost(Custodex& manager) {
  zav::custody::HostRecord kept;
  kept.hostName = L"Kept";
  manager.Add(kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Custodex& manager = PreparedHostManager();
  AddKeptHost(manager);
  EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
  record.DataLength = static_cast<std::uint32_t>(size);
  if (size != 0) {
    record.Data = new unsigned char[size];
    std::copy(data, data + size, record.Data);
  }
  const bool failed = manager.ParseData(&record);
  if (manager.PolicyLock()->load() != 0) std::abort();
  if (failed && manager.Hosts().size() != 1) std::abort();
  manager.Hosts().clear();
  return 0;
}
