// The module as the service runs it: the exported Execute on a thread of its
// own, the broker and logging stand-ins, real host processes (qvhost.exe
// running the sample module). Time runs a hundred times faster in the
// module, so its waits of 20 and 30 seconds take a fraction of a second.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "hosts/host_test_support.h"
#include "module/broker_binding.h"
#include "support/broker_journal.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/text.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LogCursor;

const std::filesystem::path kProgramFolder = std::filesystem::path(xplat::FolderOf(xplat::ExecutablePath()));

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = 15s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The service's side of the broker: what the module sends, and what it posts to it.
class Service {
 public:
  Service() : signal(xplat::CreateEventSignal(L"TestService")) {
    for (const wchar_t* name : kHeard) broker.Queue()->Register(name, *signal);
  }
  ~Service() {
    Drain();
    for (const wchar_t* name : kHeard) broker.Queue()->Unregister(name, *signal);
  }
  // Full names of the records received since the last call.
  std::vector<std::wstring> Drain() {
    std::vector<std::wstring> names;
    while (EventData* record = broker.Queue()->Pull(*signal)) {
      names.push_back(record->FullName());
      lastParameter = record->Parameter;
      lastSender = record->Sender;
      broker.Queue()->Release(record);
    }
    return names;
  }
  bool AwaitRecord(const std::wstring& fullName) {
    return Eventually([&] {
      for (const std::wstring& name : Drain()) {
        if (name == fullName) return true;
      }
      return false;
    });
  }
  bool Send(const std::wstring& fullName, const std::wstring& parameter = L"") {
    EventData record;
    BrokerBinding::SplitFullName(fullName, record.Category, record.Name);
    record.Parameter = parameter;
    return broker.Post(record);
  }
  bool SendPolicy(const std::string& xml) {
    EventData record(L"ZAV.Service", L"ApplyHostPolicy", L"");
    record.DataLength = static_cast<std::uint32_t>(xml.size());
    record.Data = reinterpret_cast<unsigned char*>(const_cast<char*>(xml.data()));
    const bool posted = broker.Post(record);  // the record now owns the binding's copy
    return posted;
  }

  std::wstring lastParameter;
  std::wstring lastSender;

 private:
  static constexpr const wchar_t* kHeard[] = {L"ZAV.Service.RequestPolicy", L"ZAV.Service.UpdatePolicy",
                                              L"ZAV.Service.HostUpgrade", L"ZAV.Service.UnloadModuleForHosting"};
  BrokerBinding broker;
  std::unique_ptr<xplat::EventSignal> signal;
};

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xplat::WriteEnvironment(L"CUSTODEX_TIME_DIVISOR", L"100");
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

  static std::string Policy(const std::vector<std::wstring>& names) {
    std::string xml = "<qvhosts>";
    for (const std::wstring& name : names) xml += "<host name=\"" + xplat::ToUtf8(name) + "\"/>";
    return xml + "</qvhosts>";
  }

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

  bool ModuleEnded() {
    if (!running) return true;
    if (!Eventually([&] { return finished(); })) return false;
    thread.join();
    running = false;
    return true;
  }

  std::filesystem::path HostFile(const std::wstring& host, const wchar_t* suffix) const {
    return kProgramFolder / (L"QVH-" + host + suffix);
  }
  // The process id the host wrote down when it started, once it has.
  std::uint32_t HostProcessId(const std::wstring& host) const {
    std::uint32_t pid = 0;
    Eventually([&] {
      std::ifstream status(HostFile(host, L".status"));
      std::string line;
      return std::getline(status, line) && line.rfind("pid=", 0) == 0 && (pid = std::stoul(line.substr(4))) != 0;
    });
    return pid;
  }
  bool HostEnded(const std::wstring& host) const {
    std::ifstream status(HostFile(host, L".status"));
    return std::string(std::istreambuf_iterator<char>(status), std::istreambuf_iterator<char>()).find("exit=") !=
           std::string::npos;
  }
  void StopHost(const std::wstring& host) {
    if (std::filesystem::exists(HostFile(host, L".status")) && !HostEnded(host)) {
      testing_support::WriteFile(HostFile(host, L".stop"), "");
      if (!Eventually([&] { return HostEnded(host); }, 5s)) xplat::TerminateProcessById(HostProcessId(host), 1);
    }
    std::error_code ignored;
    for (const wchar_t* suffix : {L".exe", L".status", L".stop"})
      std::filesystem::remove(HostFile(host, suffix), ignored);
  }

  testing_support::ScopedRegistryKey agentKey{testing_support::kAgentKey};
  testing_support::ScopedRegistryKey configKey{testing_support::kConfigKey};
  Service service;
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
  EXPECT_TRUE(std::filesystem::exists(HostFile(beta, L".exe")));

  std::filesystem::remove(HostFile(alpha, L".status"));
  LogCursor log;
  ASSERT_TRUE(xplat::TerminateProcessById(first, 1));
  ASSERT_TRUE(Eventually([&] { return log.Count(L"ApplyHostPolicy: Host process started for " + alpha) > 0; }));
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module " + alpha + L" is not running."), 1u);
  const std::uint32_t second = HostProcessId(alpha);
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
}

TEST_F(EndToEndTest, DeleteHostRemovesPresentHostsOnlyAndNeverTheHostExecutable) {
  StartModule();
  const std::wstring gone = Host(L"Gone");
  const std::wstring protectedName = L"QvHost";
  ApplyPolicy({gone, protectedName});
  hosts.push_back(protectedName);

  LogCursor log;
  testing_support::WriteFile(HostFile(gone, L".stop"), "");
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", gone));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
  EXPECT_EQ(log.Count(L"Execute: host " + HostFile(gone, L".exe").wstring() + L" removed"), 1u);
  EXPECT_EQ(log.Count(L"Delete: removed " + gone + L" from HostContainer"), 0u) << "erased before Delete runs";
  EXPECT_FALSE(std::filesystem::exists(HostFile(gone, L".exe")));

  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"NoSuchHost"));
  testing_support::WriteFile(HostFile(protectedName, L".stop"), "");
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", protectedName));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
  EXPECT_EQ(log.Count(L"Execute: Received DeleteHost for NoSuchHost"), 1u);
  EXPECT_EQ(log.Count(L"Execute: Waiting for process NoSuchHost to end"), 0u);
  EXPECT_EQ(log.Count(L"Execute: Waiting for process QvHost to end"), 1u);
  EXPECT_TRUE(std::filesystem::exists(kProgramFolder / "qvhost.exe"));
  EXPECT_TRUE(service.Drain().empty()) << "one UpdatePolicy for each removed host, none for the absent name";
}

TEST_F(EndToEndTest, UpdateAndModulesDoneEachAskForThePolicyOnce) {
  StartModule();
  for (const wchar_t* event : {L"ZAV.Service.UpdatePolicy", L"ZAV.Service.InstallingModulesDone"}) {
    ASSERT_TRUE(service.Send(event));
    ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.RequestPolicy")) << xplat::ToUtf8(event);
    std::this_thread::sleep_for(100ms);
    std::vector<std::wstring> more = service.Drain();
    more.erase(std::remove(more.begin(), more.end(), L"ZAV.Service.UpdatePolicy"), more.end());
    EXPECT_TRUE(more.empty()) << "exactly one request";
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

TEST_F(EndToEndTest, TerminateInTheMiddleOfABatchLeavesLaterRecordsQueued) {
  StartModule();
  const std::wstring busy = Host(L"Busy");
  ApplyPolicy({busy});
  LogCursor log;
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", busy));  // waits for the live host: the batch piles up
  ASSERT_TRUE(service.Send(L"ZAV.Service.TerminateThread"));
  ASSERT_TRUE(service.Send(L"ZAV.Service.InstallingModulesDone"));
  ASSERT_TRUE(ModuleEnded());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(log.Count(L"Execute: Received event InstallingModulesDone"), 0u);
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Enter"), 1u) << "one last supervision pass";
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], L"**** Shutting Down Custodex Thread ****");
  EXPECT_EQ(lines.back(), L"Exit Execute()");
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
  for (const std::wstring& name : names) testing_support::WriteFile(HostFile(name, L".stop"), "");
  ASSERT_TRUE(Eventually([&] {
    return std::all_of(names.begin(), names.end(), [&](const std::wstring& name) { return HostEnded(name); });
  }));

  LogCursor upgrade;
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(ModuleEnded());
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.HostUpgrade"));
  EXPECT_EQ(upgrade.Count(L"Execute: Received Upgrade Module event Custodex"), 1u);
  EXPECT_EQ(upgrade.Count(L"Execute: waiting for hosts to exit timed out."), 0u);
  EXPECT_EQ(upgrade.Count(L"Execute: host "), names.size());
  EXPECT_EQ(upgrade.Count(L"Delete: removed "), policy.size());
  for (const std::wstring& name : names) EXPECT_FALSE(std::filesystem::exists(HostFile(name, L".exe")));
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
