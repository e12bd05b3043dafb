#include "hosts/module_loop.h"

#include "config/agent_keys.h"
#include "xplat/registry.h"

namespace testing_support {

void ModuleLoopTest::Enable(std::initializer_list<const wchar_t*> features) {
  xplat::RegistryKey key = xplat::RegistryKey::Create(agent_keys::kCustodex);
  for (const wchar_t* feature : features) {
    key.Set(feature, xplat::RegistryValue{xplat::kRegDword, {1, 0, 0, 0}});
    enabled.emplace_back(feature);
  }
  module = std::make_unique<zav::custody::Custodex>();
}

void ModuleLoopTest::Disable() {
  xplat::RegistryKey key = xplat::RegistryKey::Open(agent_keys::kCustodex, xplat::RegistryAccess::AllAccess);
  for (const std::wstring& feature : enabled) key.Delete(feature);
  enabled.clear();
}

std::vector<std::wstring> From(const std::vector<std::wstring>& lines, const std::wstring& from) {
  const auto first = std::find(lines.begin(), lines.end(), from);
  return std::vector<std::wstring>(first, lines.end());
}

bool InOrder(const std::vector<std::wstring>& lines, const std::vector<std::wstring>& expected) {
  auto at = lines.begin();
  for (const std::wstring& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
  }
  return true;
}

}  // namespace testing_support
