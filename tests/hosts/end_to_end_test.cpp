// The module as the service runs it: the exported Execute on a thread of its
// own, the broker and logging stand-ins, real host processes (qvhost.exe
// running the sample module). Time runs twenty times faster in the module
// and its hosts: its waits of 20 and 30 seconds take 1 and 1.5 seconds,
// time enough for ten hosts to stop even on a loaded machine. What depends
// on the lengths of those waits is asserted on a manual clock instead
// (event_loop_test.cpp).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "config/agent_keys.h"
#include "hosts/host_test_support.h"
#include "module/broker_binding.h"
#include "qvhost/host_files.h"
#include "support/broker_journal.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/process_list.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Eventually;
using testing_support::LogCursor;

const std::filesystem::path kProgramFolder = testing_support::ProgramFolder();

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xplat::WriteEnvironment(L"CUSTODEX_TIME_DIVISOR", L"20");
    xplat::WriteEnvironment(L"ZAVSAMPLE_HEARTBEAT_MS", L"3600000");
  }

  ~EndToEndTest() override {
    if (running) {
      service.Send(L"ZAV.Service.TerminateThread");
      thread.join();
    }
    for (const std::wstring& host : hosts) StopHost(host);
    std::filesystem::remove(testing_support::ConfigFile());
  }

  // Names unique to this test, so test programs running side by side keep apart.
  std::wstring Host(const std::wstring& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    hosts.push_back(xplat::FromUtf8(info->name()).substr(0, 12) + name);
    return hosts.back();
  }

  void WriteModuleList(const std::vector<std::wstring>& names) {
    std::string entries;
    const std::string file = "modules\\" + xplat::ToUtf8(xplat::LibraryFileName(L"ZAVSample"));
    for (const std::wstring& name : names)
      entries += testing_support::ModuleEntry(xplat::ToUtf8(name), file, "ZAVSample");
    testing_support::WriteFile(testing_support::ConfigFile(),
                               "<configuration><zavmodules>" + entries + "</zavmodules></configuration>");
  }

  static std::string Policy(const std::vector<std::wstring>& names) { return testing_support::PolicyDocument(names); }

  void StartModule() {
    library = xplat::DynamicLibrary::Load(xplat::LibraryFileName(L"Custodex"));
    auto execute = library.Find<std::int32_t (*)()>("Execute");
    ASSERT_NE(execute, nullptr);
    thread = std::thread([this, execute] { result = execute(); });
    running = true;
    ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.RequestPolicy"));
    EXPECT_EQ(service.lastParameter, L"ZAV.Service.ApplyHostPolicy");
    EXPECT_EQ(service.lastSender, L"Custodex");
  }

  // Applies a policy and waits until each of its hosts has started.
  void ApplyPolicy(const std::vector<std::wstring>& names) {
    WriteModuleList(names);
    LogCursor log;
    ASSERT_TRUE(service.SendPolicy(Policy(names)));
    for (const std::wstring& name : names) {
      ASSERT_TRUE(Eventually([&] { return log.Count(L"ApplyHostPolicy: Host process started for " + name) > 0; }))
          << xplat::ToUtf8(name);
    }
    // A host clears stop requests left from earlier runs as it starts: ask only once it is up.
    for (const std::wstring& name : names) ASSERT_NE(HostProcessId(name), 0u) << xplat::ToUtf8(name);
  }

  // What the module sent up to now: a marker event is queued behind
  // everything posted so far, and the module handles its events in order.
  std::vector<std::wstring> RecordsOnceTheModuleCaughtUp() {
    static int markers = 0;
    const std::wstring marker = L"Marker" + std::to_wstring(++markers);
    LogCursor log;
    EXPECT_TRUE(service.Send(L"ZAV.Service.DeleteHost", marker));
    EXPECT_TRUE(Eventually([&] { return log.Count(L"Execute: Received DeleteHost for " + marker) == 1; }));
    return service.Drain();
  }

  bool ModuleEnded() {
    if (!running) return true;
    if (!Eventually([&] { return finished(); })) return false;
    thread.join();
    running = false;
    return true;
  }

  std::filesystem::path HostImage(const std::wstring& host) const {
    return kProgramFolder / (L"QVH-" + host + L".exe");
  }
  // The status of the host's newest process, once it has written one.
  std::optional<qvhost::HostStatus> LatestStatus(const std::wstring& host) const {
    std::optional<qvhost::HostStatus> latest;
    for (const qvhost::HostFile& file : qvhost::ListHostFiles(kProgramFolder.wstring(), qvhost::kStatusSuffix, host)) {
      const std::optional<qvhost::HostStatus> status = qvhost::ReadHostStatus(file.path);
      if (status && (!latest || status->startedMs >= latest->startedMs)) latest = status;
    }
    return latest;
  }
  // The process id the host's newest process wrote down, once it has.
  std::uint32_t HostProcessId(const std::wstring& host) const {
    std::uint32_t pid = 0;
    Eventually([&] {
      const std::optional<qvhost::HostStatus> status = LatestStatus(host);
      return status && (pid = status->processId) != 0;
    });
    return pid;
  }
  // True once no process of the host runs: the processes themselves say so,
  // not the status they write before they are quite gone.
  bool HostEnded(const std::wstring& host) const {
    for (const qvhost::HostFile& file : qvhost::ListHostFiles(kProgramFolder.wstring(), qvhost::kStatusSuffix, host)) {
      const xplat::ProcessHandle process = xplat::OpenProcessForWaiting(file.processId);
      if (process && !process.WaitForExit(0)) return false;
    }
    return true;
  }
  // Asks each running process of the host to stop.
  void AskToStop(const std::wstring& host) const {
    for (const qvhost::HostFile& file : qvhost::ListHostFiles(kProgramFolder.wstring(), qvhost::kStatusSuffix, host)) {
      testing_support::WriteFile(qvhost::StopFilePath(kProgramFolder.wstring(), host, file.processId), "");
    }
  }
  // Whatever the test's outcome: a process of the host that said nothing yet
  // is found by its image.
  void StopHost(const std::wstring& host) {
    AskToStop(host);
    if (!Eventually([&] { return HostEnded(host); }, 5s)) {
      for (const qvhost::HostFile& file : qvhost::ListHostFiles(kProgramFolder.wstring(), qvhost::kStatusSuffix, host))
        xplat::TerminateProcessById(file.processId, 1);
    }
    for (xplat::RunningProgram& left : xplat::OwnProcessesRunning({HostImage(host).wstring()})) {
      xplat::TerminateProcessById(left.processId, 1);
      left.process.WaitForExit(testing_support::kHostPatienceMs);
    }
    std::error_code ignored;
    std::filesystem::remove(HostImage(host), ignored);
    for (const wchar_t* suffix : {qvhost::kStatusSuffix, qvhost::kStopSuffix}) {
      for (const qvhost::HostFile& file : qvhost::ListHostFiles(kProgramFolder.wstring(), suffix, host))
        std::filesystem::remove(std::filesystem::path(file.path), ignored);
    }
  }

  testing_support::ScopedRegistryKey agentKey{testing_support::kAgentKey};
  testing_support::ScopedRegistryKey configKey{testing_support::kConfigKey};
  testing_support::ServiceEnd service;
  xplat::DynamicLibrary library;
  std::thread thread;
  std::atomic<std::int32_t> result{-5};
  bool running = false;
  std::vector<std::wstring> hosts;

 private:
  bool finished() const { return result != -5; }
};

TEST_F(EndToEndTest, PolicyStartsHostsAndAnEndedHostIsStartedAgain) {
  StartModule();
  const std::wstring alpha = Host(L"Alpha");
  const std::wstring beta = Host(L"Beta");
  ApplyPolicy({alpha, beta});
  const std::uint32_t first = HostProcessId(alpha);
  ASSERT_NE(first, 0u);
  EXPECT_TRUE(std::filesystem::exists(HostImage(beta)));

  LogCursor log;
  ASSERT_TRUE(xplat::TerminateProcessById(first, 1));
  ASSERT_TRUE(Eventually([&] { return log.Count(L"ApplyHostPolicy: Host process started for " + alpha) > 0; }));
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module " + alpha + L" is not running."), 1u);
  EXPECT_TRUE(Eventually([&] { return HostProcessId(alpha) != first; })) << "a process of its own";
}

TEST_F(EndToEndTest, DeleteHostRemovesPresentHostsOnlyAndNeverTheHostExecutable) {
  StartModule();
  const std::wstring gone = Host(L"Gone");
  const std::wstring protectedName = L"QvHost";
  ApplyPolicy({gone, protectedName});
  hosts.push_back(protectedName);

  LogCursor log;
  AskToStop(gone);
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", gone));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
  EXPECT_EQ(log.Count(L"Execute: host " + HostImage(gone).wstring() + L" removed"), 1u);
  EXPECT_EQ(log.Count(L"Delete: removed " + gone + L" from HostContainer"), 0u) << "erased before Delete runs";
  EXPECT_FALSE(std::filesystem::exists(HostImage(gone)));

  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"NoSuchHost"));
  AskToStop(protectedName);
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", protectedName));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
  // The module hears its own UpdatePolicy too, and asks for the policy.
  const std::vector<std::wstring> rest = RecordsOnceTheModuleCaughtUp();
  EXPECT_EQ(std::count(rest.begin(), rest.end(), L"ZAV.Service.UpdatePolicy"), 0)
      << "one UpdatePolicy for each removed host, none for the absent name";
  EXPECT_EQ(log.Count(L"Execute: Received DeleteHost for NoSuchHost"), 1u);
  EXPECT_EQ(log.Count(L"Execute: Waiting for process NoSuchHost to end"), 0u);
  EXPECT_EQ(log.Count(L"Execute: Waiting for process QvHost to end"), 1u);
  EXPECT_EQ(log.Count(L"Received UpdatePolicy notification."), 2u);
  EXPECT_TRUE(std::filesystem::exists(kProgramFolder / "qvhost.exe"));
}

TEST_F(EndToEndTest, UpdateAndModulesDoneEachAskForThePolicyOnce) {
  StartModule();
  for (const wchar_t* event : {L"ZAV.Service.UpdatePolicy", L"ZAV.Service.InstallingModulesDone"}) {
    ASSERT_TRUE(service.Send(event));
    ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.RequestPolicy")) << xplat::ToUtf8(event);
    const std::vector<std::wstring> more = RecordsOnceTheModuleCaughtUp();
    EXPECT_EQ(std::count(more.begin(), more.end(), L"ZAV.Service.RequestPolicy"), 0) << "exactly one request";
  }
}

TEST_F(EndToEndTest, NamesDifferingFromTheSubscribedOnesAreIgnored) {
  StartModule();
  LogCursor log;
  EXPECT_FALSE(service.Send(L"ZAV.service.UpdatePolicy")) << "nobody subscribed to that spelling";
  EventData split;
  split.Category = L"ZAV";
  split.Name = L"Service.UpdatePolicy";  // the same full name, split elsewhere
  ASSERT_TRUE(BrokerBinding().Post(split));
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Marker"));
  ASSERT_TRUE(Eventually([&] { return log.Count(L"Execute: Received DeleteHost for Marker") == 1; }));
  EXPECT_EQ(log.Count(L"Received UpdatePolicy notification."), 0u);
  const std::vector<std::wstring> received = service.Drain();
  EXPECT_EQ(std::count(received.begin(), received.end(), L"ZAV.Service.RequestPolicy"), 0);
}

TEST_F(EndToEndTest, UpgradeWaitsForEveryHostDeletesTheCopiesAndStops) {
  StartModule();
  std::vector<std::wstring> names;
  for (int i = 0; i < 10; ++i) names.push_back(Host(L"U" + std::to_wstring(i)));
  const std::wstring unstartable = Host(L"bad|name");
  std::vector<std::wstring> policy = names;
  policy.push_back(unstartable);
  WriteModuleList(policy);
  LogCursor log;
  ASSERT_TRUE(service.SendPolicy(Policy(policy)));
  ASSERT_TRUE(Eventually([&] { return log.Count(L"ApplyHostPolicy: Host process started for ") == names.size(); }));
  for (const std::wstring& name : names) ASSERT_NE(HostProcessId(name), 0u);

  // The hosts end once the module says so, at once: a host asked to stop
  // would take its time, which a loaded machine may stretch past the
  // module's wait of one second here.
  LogCursor upgrade;
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostUpgrade"));
  for (const std::wstring& name : names) xplat::TerminateProcessById(HostProcessId(name), 1);
  ASSERT_TRUE(ModuleEnded());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(upgrade.Count(L"Execute: Received Upgrade Module event Custodex"), 1u);
  EXPECT_EQ(upgrade.Count(L"Execute: waiting for hosts to exit timed out."), 0u);
  EXPECT_EQ(upgrade.Count(L"Execute: host "), names.size());
  EXPECT_EQ(upgrade.Count(L"Delete: removed "), names.size()) << "the refused name never was a host";
  for (const std::wstring& name : names) EXPECT_FALSE(std::filesystem::exists(HostImage(name)));
}

// qvhost's own switches: a host that passes over its stop request and whose
// workers never end is ended whole once the removal's wait runs out.
TEST_F(EndToEndTest, StubbornHostIsEndedWithItsWorkersAfterTheRemovalsWait) {
  xplat::RegistryKey settings = xplat::RegistryKey::Create(agent_keys::kCustodex);
  for (const wchar_t* name : {L"TrackHostTrees", L"StopHostsThatDoNotEnd"})
    settings.Set(name, xplat::RegistryValue{xplat::kRegDword, {1, 0, 0, 0}});
  const std::wstring host = Host(L"S");
  xplat::WriteEnvironment(L"QVHOST_CHILDREN_" + host, L"2@never");
  xplat::WriteEnvironment(L"QVHOST_IGNORE_STOP_" + host, L"1");
  StartModule();
  ApplyPolicy({host});
  ASSERT_TRUE(Eventually([&] { return xplat::OwnProcessesRunning({HostImage(host).wstring()}).size() == 3; }));
  LogCursor log;
  AskToStop(host);
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", host));
  ASSERT_TRUE(Eventually([&] { return log.Count(L"Execute: host " + HostImage(host).wstring() + L" removed") == 1; }));
  EXPECT_EQ(log.Count(L"Execute: host " + host + L" did not end in time; it is ended: processes "), 1u);
  EXPECT_TRUE(xplat::OwnProcessesRunning({HostImage(host).wstring()}).empty());
  EXPECT_FALSE(std::filesystem::exists(HostImage(host)));
}

// A subscriber hears a host's crash as it happens, with its reason.
TEST_F(EndToEndTest, ASubscriberHearsACrashWithItsReason) {
  xplat::RegistryKey settings = xplat::RegistryKey::Create(agent_keys::kCustodex);
  settings.Set(L"PublishHostEvents", xplat::RegistryValue{xplat::kRegDword, {1, 0, 0, 0}});
  const std::wstring host = Host(L"C");
  xplat::WriteEnvironment(L"QVHOST_CRASH_" + host, L"1");
  std::filesystem::remove(kProgramFolder / (L"QVH-" + host + L".crashes"));
  service.HearHostEvents();
  StartModule();
  ApplyPolicy({host});
#if defined(_WIN32)
  const std::string crash = "crashed: access violation (0xC0000005)";
#else
  const std::string crash = "killed by SIGSEGV";
#endif
  const auto heard = [&] {
    service.Drain();
    return std::any_of(service.hostEvents.begin(), service.hostEvents.end(), [&](const std::string& event) {
      return event.find("kind=\"ended\"") != std::string::npos && event.find(crash) != std::string::npos;
    });
  };
  EXPECT_TRUE(Eventually(heard));
  xplat::WriteEnvironment(L"QVHOST_CRASH_" + host, L"");
  std::filesystem::remove(kProgramFolder / (L"QVH-" + host + L".crashes"));
}

TEST_F(EndToEndTest, RefusedRegistrationEndsTheLoopWithoutAskingForThePolicy) {
  testing_support::ClearJournal();
  testing_support::RefuseRegistration(L"ZAV.Service.DeleteHost");
  LogCursor log;
  library = xplat::DynamicLibrary::Load(xplat::LibraryFileName(L"Custodex"));
  auto execute = library.Find<std::int32_t (*)()>("Execute");
  ASSERT_NE(execute, nullptr);
  const std::int32_t returned = execute();
  testing_support::RefuseRegistration(L"");
  EXPECT_EQ(returned, 0);
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{L"Enter Execute()", L"RegisterEvents failed",
                                                    L"**** Shutting Down Custodex Thread ****", L"Exit Execute()"}));
  const std::vector<std::wstring> subscribed = {L"ZAV.Service.UpdatePolicy", L"ZAV.Service.ApplyHostPolicy",
                                                L"ZAV.Service.DeleteHost", L"ZAV.Service.InstallingModulesDone"};
  std::vector<std::wstring> expected;
  for (const std::wstring& name : subscribed) expected.push_back(L"+" + name);
  for (const std::wstring& name : subscribed) expected.push_back(L"-" + name);
  const std::vector<std::wstring> journal = testing_support::JournalOf(L"Custodex");
  ASSERT_GE(journal.size(), 10u);
  EXPECT_EQ(std::vector<std::wstring>(journal.begin() + 2, journal.begin() + 10), expected)
      << "all four are attempted, then all four given up";
  EXPECT_TRUE(service.Drain().empty()) << "no policy request";
}

}  // namespace

namespace {

// The demo's path: the service stand-in, started from this program's folder,
// loads the module, answers its policy request, stops it, and exits with 0
// when the module returned 0.
// A host named outside ASCII, and one whose name is the longest the path
// lets a copy have (longer than its files' names could be), run under the
// service and are stopped with it; the service ends on its own, without an
// error.
TEST(ServiceStandInTest, RunsAndStopsTheModuleAndAHostOfAnyName) {
  const std::wstring folder = xplat::WidePath(kProgramFolder);
#if defined(_WIN32)
  const std::size_t longest = std::min<std::size_t>(247, 259 - folder.size() - 1 - 8);
#else
  const std::size_t longest = 247;
#endif
  const std::vector<std::wstring> names{L"Zo\u00EB", std::wstring(longest, L'L')};
  std::string entries;
  std::vector<std::wstring> images;
  for (const std::wstring& name : names) {
    entries += "<host name=\"" + xplat::ToUtf8(name) + "\"/>";
    images.push_back(folder + xplat::kPathSeparator + L"QVH-" + name + L".exe");
  }
  const std::filesystem::path policy = testing_support::TestFolder() / "zoe.xml";
  testing_support::WriteFile(policy, "<qvhosts>" + entries + "</qvhosts>");
#if defined(_WIN32)
  const std::wstring program = (kProgramFolder / "custodex-service.exe").wstring();
  std::wstring arguments = L"--seconds 3";
#else
  const std::wstring program = (kProgramFolder / "custodex-service").wstring();
  std::wstring arguments = L"--seconds 3 --root \"" + (testing_support::TestFolder() / "service").wstring() + L"\"";
#endif
  arguments += L" --policy \"" + policy.wstring() + L"\"";
  testing_support::ScopedRegistryKey agentKey{testing_support::kAgentKey};
  xplat::StartedProcess service;
  ASSERT_TRUE(xplat::StartProgram(program, arguments, service));
  ASSERT_TRUE(Eventually([&] { return xplat::OwnProcessesRunning(images).size() == 2; }, 30s)) << "the hosts run";
  ASSERT_TRUE(Eventually([&] { return service.process.WaitForExit(0); }, 60s));
  std::uint32_t code = 1;
  EXPECT_TRUE(service.process.GetExitCode(code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Eventually([&] { return xplat::OwnProcessesRunning(images).empty(); })) << "and are stopped";
  for (const xplat::RunningProgram& left : xplat::OwnProcessesRunning(images)) {
    xplat::TerminateProcessById(left.processId, 1);
  }
  std::filesystem::remove(testing_support::ConfigFile());
  for (const std::wstring& image : images) xplat::DeleteFile(image);
}

}  // namespace
