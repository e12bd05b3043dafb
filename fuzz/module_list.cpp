// Writes arbitrary bytes as the module list ZAVConfig.xml and looks a host up
// in it, as the policy does for each of its hosts; the agent's configuration
// reads the same file for its server settings on the way. A crash, a leak or
// a huge allocation is a finding.

#include <cstddef>
#include <cstdint>
#include <string>

#include "host_manager.h"
#include "xplat/text.h"

namespace {

bool LookUp(const std::wstring& hostName) {
  zav::custody::HostRecord record;
  record.hostName = hostName;
  return fuzz_support::HostManager().LoadHostModulesFromConfig(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzz_support::WriteModuleList(bytes);
  LookUp(L"Alpha");
  // The text after the last line break names a second host, so that the
  // fuzzer chooses which entries match.
  const std::size_t lineBreak = bytes.rfind('\n');
  if (lineBreak != std::string::npos) LookUp(xplat::FromUtf8(bytes.substr(lineBreak + 1)));
  return 0;
}
