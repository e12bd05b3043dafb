#pragma once
// Shared helpers for the test programs: where their data lives, and the
// agent's registry key, emptied before and after each use.

#include <filesystem>
#include <string>

#include "config/agent_keys.h"
#include "xplat/registry.h"

namespace testing_support {

inline constexpr const wchar_t* kAgentKey = agent_keys::kAgent;

// A new, empty folder of this test run, removed when the program ends.
std::filesystem::path CreateTestFolder();
const std::filesystem::path& TestFolder();

// The folder beside the test program that holds its data files.
std::wstring TestDataFolder();
std::string ReadFile(const std::wstring& path);

// Creates a key for the test and deletes it with all it holds afterwards.
class ScopedRegistryKey {
 public:
  explicit ScopedRegistryKey(std::wstring path);
  ~ScopedRegistryKey();
  xplat::RegistryKey& Key() { return key; }
  void SetText(const std::wstring& name, const std::wstring& text);
  void SetRaw(const std::wstring& name, std::uint32_t type, const std::string& bytes);

 private:
  std::wstring path;
  xplat::RegistryKey key;
};

}  // namespace testing_support
