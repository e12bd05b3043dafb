#pragma once
// What the host manager's tests share: the agent's registry keys, the
// program folder (the test program's own, whose "qvhost.exe" is a fake
// host), the module's log lines since a point, the service's side of the
// broker, and the clean-up of every host a test started.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/agent_keys.h"
#include "hosts/custodex.h"
#include "module/broker_binding.h"
#include "support/test_environment.h"
#include "xplat/event_signal.h"

namespace testing_support {

inline constexpr const wchar_t* kConfigKey = agent_keys::kConfig;
// Real time a host is given to end once told.
inline constexpr std::uint32_t kHostPatienceMs = 10000;

// Polls in real time until the condition holds; false after the limit.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The policy document naming these hosts.
std::string PolicyDocument(const std::vector<std::wstring>& names);

// The folder of the running test program: its own (see own_folder_main.cpp).
std::filesystem::path ProgramFolder();

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

// The service's side of the broker: what the module sends, and what it
// posts to the module.
class ServiceEnd {
 public:
  ServiceEnd();
  ~ServiceEnd();
  ServiceEnd(const ServiceEnd&) = delete;
  ServiceEnd& operator=(const ServiceEnd&) = delete;

  // Full names of the records received since the last call.
  std::vector<std::wstring> Drain();
  // Polls until a record of that name arrives.
  bool AwaitRecord(const std::wstring& fullName);
  bool Send(const std::wstring& fullName, const std::wstring& parameter = L"");
  bool SendPolicy(const std::string& xml);
  // Stops listening for the module's policy requests, or starts again.
  void HearPolicyRequests(bool hear);
  // Listens for the module's host events, each kept in hostEvents.
  void HearHostEvents();

  std::vector<std::string> hostEvents;  // the documents, in order
  // Of the last record other than a host event.
  std::wstring lastParameter;
  std::wstring lastSender;
  std::string lastData;

 private:
  BrokerBinding broker;
  std::unique_ptr<xplat::EventSignal> signal;
  bool hearsPolicyRequests = true;
};

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
