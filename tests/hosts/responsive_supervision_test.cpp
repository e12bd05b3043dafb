// Supervision beyond the default, each feature switched on for its test:
// wake on host exit, the restart back-off, host status over the broker.
// The module's loop runs on a manual clock with real (fake) hosts.

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "hosts/module_loop.h"
#include "xplat/process.h"

namespace {

using testing_support::Eventually;
using testing_support::InOrder;
using testing_support::kPass;
using testing_support::kWakeUpMs;
using testing_support::LogCursor;

class ResponsiveSupervisionTest : public testing_support::ModuleLoopTest {
 protected:
  // The status the module answers for the request's parameter.
  pugi::xml_document Status(const std::wstring& hostName = L"") {
    service.Drain();
    EXPECT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus", hostName));
    pugi::xml_document document;
    EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
    EXPECT_EQ(service.lastParameter, hostName);
    EXPECT_TRUE(document.load_buffer(service.lastData.data(), service.lastData.size()));
    return document;
  }
};

TEST_F(ResponsiveSupervisionTest, HostEndWakesTheLoopAtOnce) {
  Enable({L"WakeOnHostExit"});
  Start();
  ApplyPolicy({L"Quick", L"Other"});
  EXPECT_EQ(module->WatchedProcessCount(), 2u);
  const std::uint32_t first = module->Hosts().at(L"Quick").processId;
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  Kill(L"Quick");
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "back to waiting, without the wait running out";
  EXPECT_TRUE(clock.EndedWaits().empty());
  EXPECT_TRUE(InOrder(log.Lines(), {kPass, L"ApplyHostPolicy: Host process started for Quick",
                                    L"CheckThatHostIsStillRunning: Module Quick is not running."}))
      << "the restart first, the lines that tell the end after it";
  EXPECT_NE(module->Hosts().at(L"Quick").processId, first);
  EXPECT_EQ(module->WatchedProcessCount(), 2u) << "the new process is watched, the ended one no longer";
}

// The host whose end woke the loop is started again; until the next walk
// over every host, thirty seconds after the last, no other is looked at.
TEST_F(ResponsiveSupervisionTest, HostWhoseEndWokeTheLoopIsStartedFirst) {
  Enable({L"WakeOnHostExit"});
  Start();
  ApplyPolicy({L"Alpha", L"Zeta"});
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  Kill(L"Zeta");
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_TRUE(InOrder(log.Lines(), {kPass, L"ApplyHostPolicy: Host process started for Zeta"}));
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Module Alpha already running."), 0u)
      << "between walks over every host a wake looks at the ended host alone";
}

// What an end brings looks at the hosts that ended, however many hosts
// the module has (here hosts that never start: their copies are folders).
TEST_F(ResponsiveSupervisionTest, AnEndLooksAtTheEndedHostAloneHoweverManyHostsThereAre) {
  Enable({L"WakeOnHostExit", L"PublishHostEvents"});
  Start();
  std::vector<std::uint64_t> looks;
#if defined(_WIN32)
  constexpr int kMany = 250;  // under Wine a thousand failing starts outlast the test's patience
#else
  constexpr int kMany = 1000;
#endif
  for (const int others : {10, kMany}) {
    std::vector<std::wstring> names{L"Alpha"};
    for (int i = 0; i < others; ++i) {
      names.push_back(L"Idle" + std::to_wstring(i));
      std::filesystem::create_directories(ImageOf(names.back()));
    }
    ApplyPolicy(names);
    const std::uint64_t before = module->HostsLookedAt();
    const std::uint64_t mark = clock.Mark();
    Kill(L"Alpha");
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
    looks.push_back(module->HostsLookedAt() - before);
  }
  EXPECT_EQ(looks[0], looks[1]) << "at 10 and at " << kMany << " hosts";
}

// A host that ends while records pile up (here during a removal's wait) is
// started again after the record at hand, before the rest of them.
TEST_F(ResponsiveSupervisionTest, AFloodOfRecordsNeverHoldsARestartBack) {
  Enable({L"WakeOnHostExit"});
  Start();
  ApplyPolicy({L"Busy", L"Stuck"});
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Stuck"));
  ASSERT_TRUE(clock.AwaitWait(testing_support::kHostExitWaitMs, mark));
  Kill(L"Busy");
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(service.Send(L"ZAV.Service.InstallingModulesDone"));
  LogCursor log;
  ASSERT_TRUE(clock.ElapseWait(testing_support::kHostExitWaitMs, mark));
  const std::wstring restarted = L"ApplyHostPolicy: Host process started for Busy";
  ASSERT_TRUE(Eventually([&] { return log.Count(restarted) == 1; }));
  const std::vector<std::wstring> lines = log.Lines();
  EXPECT_EQ(std::count(lines.begin(), std::find(lines.begin(), lines.end(), restarted),
                       L"Execute: Received event InstallingModulesDone"),
            0);
}

TEST_F(ResponsiveSupervisionTest, WithoutTheSettingAHostEndWaitsForTheNextWakeUp) {
  Start();
  ApplyPolicy({L"Slow"});
  LogCursor log;
  Kill(L"Slow");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(log.Count(kPass), 0u);
  IdleWakeUp();
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Slow"), 1u);
  EXPECT_EQ(module->WatchedProcessCount(), 0u);
}

// Removed hosts leave the watched set; the upgrade and the module's end
// leave nothing registered (sanitizers and the Windows thread pool see to
// the rest).
TEST_F(ResponsiveSupervisionTest, WatchedProcessesFollowTheHostsBeyondOneKernelWait) {
  Enable({L"WakeOnHostExit"});
  std::vector<std::wstring> names;
  for (int i = 0; i < 66; ++i) names.push_back(L"H" + std::to_wstring(100 + i));
  Start();
  ApplyPolicy(names);
  ASSERT_EQ(module->WatchedProcessCount(), names.size());
  const std::uint32_t last = module->Hosts().at(names.back()).processId;
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  Kill(names.back());
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for " + names.back()), 1u);
  EXPECT_NE(module->Hosts().at(names.back()).processId, last);

  // Removed while it runs, a host is watched until its process ends.
  const std::uint32_t removed = ProcessOf(names.front());
  const xplat::ProcessHandle watch = xplat::OpenProcessForWaiting(removed);
  std::uint64_t removal = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", names.front()));
  ASSERT_TRUE(clock.ElapseWait(testing_support::kHostExitWaitMs, removal));
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, removal));
  EXPECT_EQ(module->WatchedProcessCount(), names.size());
  removal = clock.Mark();
  ASSERT_TRUE(xplat::TerminateProcessById(removed, 1));
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, removal));
  EXPECT_TRUE(watch.WaitForExit(0));
  EXPECT_EQ(module->WatchedProcessCount(), names.size() - 1);

  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(clock.ElapseWait(testing_support::kHostExitWaitMs));
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_EQ(module->WatchedProcessCount(), 0u) << "the upgrade unregisters every host";
}

std::wstring DelayLine(std::uint32_t delayMs) {
  return L"CheckThatHostIsStillRunning: Crashy ran 0 ms and ended with exit code 3 (exited); it starts again in " +
         std::to_wstring(delayMs) + L" ms";
}

// The loop's wait ends when the next start is due: a host that ends at once
// every time is started a second after its start, then after 1 s, 2 s, 4 s
// ... each time it ends again.
TEST_F(ResponsiveSupervisionTest, HostThatKeepsEndingAtOnceBacksOff) {
  Enable({L"WakeOnHostExit", L"RestartBackOff"});
  SetLife(L"Crashy", 0, 3);
  Start();
  LogCursor log;
  ApplyPolicy({L"Crashy"}, 1000);
  const std::wstring started = L"ApplyHostPolicy: Host process started for Crashy";
  EXPECT_EQ(log.Count(started), 1u) << "even the first end waits until a second after the start";
  EXPECT_EQ(log.Count(DelayLine(1000)), 1u);
  for (const auto& [delay, next] : {std::pair{1000u, 1000u}, {1000u, 2000u}, {2000u, 4000u}, {4000u, 8000u}}) {
    LogCursor turn;
    const std::uint64_t mark = clock.Mark();
    clock.Advance(delay - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(turn.Count(started), 0u) << "not before it is due";
    clock.Advance(1);
    ASSERT_TRUE(clock.AwaitWait(next, mark)) << "started, ended at once, and waiting " << next << " ms";
    EXPECT_EQ(turn.Count(started), 1u);
    EXPECT_EQ(turn.Count(DelayLine(next)), 1u);
  }
}

// Without the back-off, a host that ends at once still starts only once a
// second, where waking at its end would otherwise start it again at once.
TEST_F(ResponsiveSupervisionTest, WakeOnHostExitAloneStartsAHostOnceASecond) {
  Enable({L"WakeOnHostExit"});
  SetLife(L"Crashy", 0, 3);
  Start();
  LogCursor log;
  for (int second = 1; second <= 3; ++second) {
    if (second == 1) {
      ApplyPolicy({L"Crashy"}, 1000);
    } else {
      const std::uint64_t mark = clock.Mark();
      clock.Advance(1000);
      ASSERT_TRUE(clock.AwaitWait(1000, mark));
    }
    EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Crashy"), static_cast<std::size_t>(second));
    EXPECT_EQ(log.Count(DelayLine(1000)), static_cast<std::size_t>(second));
  }
}

// With the back-off alone a host's end is seen when it happens, and only
// noted: the run is timed to it, and the pass comes at its usual time.
TEST_F(ResponsiveSupervisionTest, BackOffAloneTimesARunToItsOwnEnd) {
  Enable({L"RestartBackOff"});
  Start();
  ApplyPolicy({L"Crashy"});
  LogCursor log;
  ASSERT_TRUE(xplat::TerminateProcessById(ProcessOf(L"Crashy"), 1));
  ASSERT_TRUE(Eventually([&] { return module->WatchedProcessCount() == 0; })) << "its end is seen";
  EXPECT_EQ(log.Count(kPass), 0u) << "and starts no pass";
  clock.Advance(500);
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Absent"));
  ASSERT_TRUE(clock.AwaitWait(500, mark)) << "a second after its start, which was its end";
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Crashy ran 0 ms and ended"), 1u) << "not 500 ms";
}

// A delayed start that fails must not turn the loop's wait into a spin.
TEST_F(ResponsiveSupervisionTest, DelayedStartThatFailsIsTriedAgainLater) {
  Enable({L"WakeOnHostExit", L"RestartBackOff"});
  SetLife(L"Crashy", 0, 3);
  Start();
  ApplyPolicy({L"Crashy"}, 1000);
  std::filesystem::remove(programFolder / "qvhost.exe");  // a program that cannot run takes its place
  testing_support::WriteFile(programFolder / "qvhost.exe", "MZ, but no program");
  std::filesystem::permissions(programFolder / "qvhost.exe", std::filesystem::perms::owner_all);
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  clock.Advance(1000);
  ASSERT_TRUE(clock.AwaitWait(1000, mark)) << "the next attempt waits on";
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Failure to start: Crashy"), 1u);
  EXPECT_FALSE(module->Hosts().at(L"Crashy").processHandle) << "the ended process's handles go before a start";
}

TEST_F(ResponsiveSupervisionTest, RemovalForgetsTheBackOff) {
  Enable({L"WakeOnHostExit", L"RestartBackOff"});
  SetLife(L"Crashy", 0, 3);
  Start();
  ApplyPolicy({L"Crashy"}, 1000);
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Crashy"));
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  LogCursor log;
  SetLife(L"Crashy", 30000, 0);
  ApplyPolicy({L"Crashy"});
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Crashy"), 1u) << "a stop asked for never counts";
}

TEST_F(ResponsiveSupervisionTest, StatusRequestIsAnsweredWithEveryHostsRuns) {
  Enable({L"WakeOnHostExit", L"RestartBackOff", L"HostStatus"});
  SetLife(L"Crashy", 0, 3);
  Start();
  ApplyPolicy({L"Alpha", L"Crashy", L"bad|name"}, 1000);
  const std::uint64_t mark = clock.Mark();
  clock.Advance(1000);
  ASSERT_TRUE(clock.AwaitWait(1000, mark)) << "Crashy started again, ended and backs off";
  const std::uint32_t alpha = module->Hosts().at(L"Alpha").processId;

  pugi::xml_document all = Status();
  const pugi::xml_node root = all.child(L"qvhosts");
  ASSERT_TRUE(root);
  const pugi::xml_node running = root.find_child_by_attribute(L"host", L"name", L"Alpha");
  EXPECT_STREQ(running.attribute(L"state").value(), L"running");
  EXPECT_EQ(running.attribute(L"pid").as_uint(), alpha);
  EXPECT_EQ(std::wstring(running.attribute(L"started").value()).size(), 24u) << "an ISO time to the millisecond";
  EXPECT_EQ(running.attribute(L"restartsLastHour").as_uint(), 0u);
  EXPECT_FALSE(running.attribute(L"ended"));
  const pugi::xml_node crashy = root.find_child_by_attribute(L"host", L"name", L"Crashy");
  EXPECT_STREQ(crashy.attribute(L"state").value(), L"backing-off");
  EXPECT_STREQ(crashy.attribute(L"exitCode").value(), L"3");
  EXPECT_EQ(crashy.attribute(L"restartsLastHour").as_uint(), 1u);
  EXPECT_TRUE(crashy.attribute(L"ended") && crashy.attribute(L"nextStart"));
  EXPECT_FALSE(root.find_child_by_attribute(L"host", L"name", L"bad|name")) << "refused as the policy was read";

  pugi::xml_document one = Status(L"Alpha");
  EXPECT_EQ(std::distance(one.child(L"qvhosts").begin(), one.child(L"qvhosts").end()), 1);
}

TEST_F(ResponsiveSupervisionTest, StatusRequestCarryingDataIsRefused) {
  Enable({L"HostStatus"});
  Start();
  LogCursor log;
  EventData request(L"ZAV.Service", L"QueryHostStatus", L"");
  const std::string junk = "<qvhosts><host name='x'/></qvhosts>";
  request.DataLength = static_cast<std::uint32_t>(junk.size());
  request.Data = reinterpret_cast<unsigned char*>(const_cast<char*>(junk.data()));
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(BrokerBinding().Post(request));
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
  EXPECT_EQ(service.lastData, "<qvhosts refused=\"the request carries data\" />\n");
  EXPECT_EQ(log.Count(L"Execute: host status request refused: it carries data"), 1u);
}

// A service that stopped without stopping its hosts, started again: its new
// module takes the hosts over instead of starting them a second time, and
// notices their end like any other's.
TEST_F(ResponsiveSupervisionTest, HostsLeftRunningAreAdoptedNotStartedTwice) {
  Start();
  ApplyPolicy({L"Alpha", L"Beta"});
  const std::uint32_t alpha = ProcessOf(L"Alpha");
  const std::uint32_t beta = ProcessOf(L"Beta");
  Stop();
  Enable({L"AdoptHosts", L"WakeOnHostExit", L"HostStatus"});  // the first module goes, its hosts run on
  Start();
  LogCursor log;
  ApplyPolicy({L"Alpha", L"Beta"});
  EXPECT_EQ(log.Count(L"StartProcess: Enter"), 0u);
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Alpha adopted: its process " + std::to_wstring(alpha) +
                      L" already runs from " + ImageOf(L"Alpha").wstring()),
            1u);
  EXPECT_EQ(ProcessOf(L"Alpha"), alpha);
  EXPECT_EQ(ProcessOf(L"Beta"), beta);
  EXPECT_STREQ(Status(L"Beta").child(L"qvhosts").child(L"host").attribute(L"adopted").value(), L"true");

  const std::uint64_t mark = clock.Mark();
  Kill(L"Alpha");
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Host process started for Alpha"), 1u);
  EXPECT_NE(ProcessOf(L"Alpha"), alpha);
}

// At a host's first start, a process of it run from the shared host
// executable (its copy having failed) is taken over too; a restart never
// takes over another, it starts a process.
TEST_F(ResponsiveSupervisionTest, AdoptionTakesAHostAtItsFirstStartOnly) {
  Enable({L"AdoptHosts"});
  const std::wstring shared = (programFolder / "qvhost.exe").wstring();
  xplat::StartedProcess earlier[2];
  for (xplat::StartedProcess& process : earlier) ASSERT_TRUE(xplat::StartProgram(shared, L"-m Alpha", process));
  AddHost(L"Alpha");
  LogCursor log;
  module->ApplyHostPolicy();
  const std::uint32_t adopted = ProcessOf(L"Alpha");
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Alpha adopted: its process " + std::to_wstring(adopted) +
                      L" already runs from " + shared),
            1u);
  EXPECT_EQ(log.Count(L"StartProcess: Enter"), 0u);
  for (xplat::StartedProcess& process : earlier) {
    if (process.processId != adopted) continue;
    ASSERT_TRUE(process.process.Terminate(1) && process.process.WaitForExit(10000));
  }
  AddHost(L"Beta");  // at its first start: the same pass looks at the processes again
  module->CheckThatHostIsStillRunning();
  EXPECT_EQ(log.Count(L"StartProcess: Enter"), 2u) << "a restart starts the host, as the first start of Beta";
  for (const xplat::StartedProcess& process : earlier) EXPECT_NE(ProcessOf(L"Alpha"), process.processId);
  for (xplat::StartedProcess& process : earlier) {
    process.process.Terminate(1);
    process.process.WaitForExit(testing_support::kHostPatienceMs);
  }
}

TEST_F(ResponsiveSupervisionTest, WithoutTheSettingNoStatusIsSubscribed) {
  Start();
  EXPECT_FALSE(service.Send(L"ZAV.Service.QueryHostStatus")) << "nobody takes it";
}

}  // namespace
