#include "hosts/supervision/settings.h"

#include "config/agent_keys.h"
#include "xplat/registry.h"

namespace zav::custody {
namespace {

// Only a DWORD counts; any other type, or no value, leaves the feature off.
bool IsOn(const xplat::RegistryKey& key, const wchar_t* name) {
  xplat::RegistryValue value;
  if (key.Query(name, sizeof(std::uint32_t), value) != xplat::kErrorSuccess) return false;
  if (value.type != xplat::kRegDword || value.bytes.size() != sizeof(std::uint32_t)) return false;
  return value.bytes[0] != 0 || value.bytes[1] != 0 || value.bytes[2] != 0 || value.bytes[3] != 0;
}

}  // namespace

SupervisionSettings SupervisionSettings::Read() {
  SupervisionSettings settings;
  const xplat::RegistryKey key = xplat::RegistryKey::Open(agent_keys::kCustodex, xplat::RegistryAccess::Read);
  if (!key.IsOpen()) return settings;
  settings.wakeOnHostExit = IsOn(key, L"WakeOnHostExit");
  settings.restartBackOff = IsOn(key, L"RestartBackOff");
  settings.hostStatus = IsOn(key, L"HostStatus");
  settings.adoptHosts = IsOn(key, L"AdoptHosts");
  settings.trackHostTrees = IsOn(key, L"TrackHostTrees");
  settings.stopHostsThatDoNotEnd = IsOn(key, L"StopHostsThatDoNotEnd");
  settings.publishHostEvents = IsOn(key, L"PublishHostEvents");
  return settings;
}

}  // namespace zav::custody
