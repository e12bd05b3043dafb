#pragma once
// What the host manager's tests share: the agent's registry keys, a program
// folder of the test's own whose "qvhost.exe" is a fake host, the module's
// log lines since a point, and the clean-up of every host a test started.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hosts/custodex.h"
#include "support/test_environment.h"

namespace testing_support {

inline constexpr wchar_t kConfigKey[] = L"SOFTWARE\\Corvane\\DEDedad\\Config";

// The module's log lines written since construction.
class LogCursor {
 public:
  LogCursor();
  std::vector<std::wstring> Lines() const;
  // How many of the new lines start with the text.
  std::size_t Count(const std::wstring& prefix) const;

 private:
  std::size_t start;
};

// A fresh, empty folder inside this test program's temporary folder.
std::filesystem::path NewFolder(const std::string& purpose);

// Writes text to a file, creating its folder.
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The module list file (ZAVConfig.xml) as the agent's configuration finds it.
std::filesystem::path ConfigFile();

// A module-list entry for `host` whose module file is `file`.
std::string ModuleEntry(const std::string& host, const std::string& file, const std::string& name = "Mod");
// Writes ZAVConfig.xml with these entries in its module list.
void WriteModuleList(const std::string& entries, const std::string& prolog = "");

class HostsTest : public ::testing::Test {
 protected:
  HostsTest();
  ~HostsTest() override;

  // Adds a host record (module fields set, not started) to the module's map.
  zav::custody::HostRecord& AddHost(const std::wstring& name, const std::wstring& fileName = L"NotLoaded.dll");
  std::filesystem::path ImageOf(const std::wstring& hostName) const;
  // The arguments the fake host started from this image received, once it wrote them.
  std::vector<std::string> ArgumentsOf(const std::filesystem::path& image) const;
  // "<ms> <exit code>" for the fake host QVH-<host>.exe.
  void SetLife(const std::wstring& hostName, int ms, int exitCode) const;
  void EndHost(const std::wstring& hostName);
  // ParseData on an event carrying these bytes; the policy lock must be free afterwards.
  bool ParsePolicy(const std::string& bytes);
  // LoadHostModulesFromConfig for a host name, into `record`.
  bool LookUp(const std::wstring& hostName, zav::custody::HostRecord& record);
  bool LookUp(const std::wstring& hostName);
  std::vector<std::wstring> HostNames() const;

  ScopedRegistryKey agentKey{kAgentKey};
  ScopedRegistryKey configKey{kConfigKey};
  std::filesystem::path programFolder;
  std::unique_ptr<zav::custody::Custodex> module;
};

}  // namespace testing_support
