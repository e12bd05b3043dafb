// The module's event loop, run in this process on a manual clock: its waits
// of 20 and 30 seconds last as long as a test lets them, so their lengths,
// and the order of what happens around them, can be asserted. The hosts are
// fake hosts that live 30 real seconds unless told otherwise: hosts that do
// not stop when the module waits for them.

#include <gtest/gtest.h>

#include "hosts/module_loop.h"
#include "support/broker_journal.h"
#include "xplat/process.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Eventually;
using testing_support::From;
using testing_support::InOrder;
using testing_support::kHostExitWaitMs;
using testing_support::kKilledExitCode;
using testing_support::kPass;
using testing_support::kWakeUpMs;
using testing_support::LogCursor;

class EventLoopTest : public testing_support::ModuleLoopTest {};

TEST_F(EventLoopTest, IdleWakeUpComesEveryThirtySecondsWithOnePassAndOneBanner) {
  Start();
  LogCursor log;
  ::testing::internal::CaptureStdout();
  const std::uint64_t mark = clock.Mark();
  clock.Advance(kWakeUpMs - 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log.Count(kPass), 0u) << "nothing before thirty seconds";
  clock.Advance(1);
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "**** Running Custodex Process Thread ****\n");
  EXPECT_EQ(log.Lines(), (std::vector<std::wstring>{kPass, L"CheckThatHostIsStillRunning: Exit"}));
}

TEST_F(EventLoopTest, StartUpRequestNobodyTakesIsTriedThirtyTimesAndTheLoopRunsAnyway) {
  service.HearPolicyRequests(false);
  LogCursor log;
  Start();
  EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>(29, 1000)) << "thirty attempts a second apart";
  EXPECT_EQ(log.Count(L"ERROR: Unable to request policy on startup"), 1u);
  Deliver(L"ZAV.Service.DeleteHost", L"Absent");
  EXPECT_EQ(log.Count(L"Execute: Received DeleteHost for Absent"), 1u);
}

TEST_F(EventLoopTest, DeleteHostWaitsTwentySecondsWithTheCopyInPlaceThenKeepsItForARunningHost) {
  Start();
  ApplyPolicy({L"Slow"});
  const std::wstring pid = std::to_wstring(ProcessOf(L"Slow"));
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Slow"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "the host gets twenty seconds";
  EXPECT_TRUE(fs::exists(ImageOf(L"Slow"))) << "no copy goes before its host has had its time";
  clock.Advance(kHostExitWaitMs - 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log.Count(L"Execute: host "), 0u);
  clock.Advance(1);
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  std::vector<std::wstring> removal = From(log.Lines(), L"Execute: Waiting for process Slow to end");
  removal.resize(std::min<std::size_t>(removal.size(), 7));
  EXPECT_EQ(removal, (std::vector<std::wstring>{
                         L"Execute: Waiting for process Slow to end",
                         L"Execute: process Slow did not end; its copy is kept until it does",
                         L"Host Slow (process " + pid + L") runs on without its record; it is watched until it ends.",
                         L"Delete: Enter", L"Delete: Exit", L"Execute: host Slow removed; no copy was deleted",
                         L"Sending UpdatePolicy notification."}));
  EXPECT_TRUE(fs::exists(ImageOf(L"Slow")));
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
}

// With the stop setting and no trees, a host that outlives the removal's
// wait is ended, nothing of it is said to run on, and its copy goes.
TEST_F(EventLoopTest, StopSettingWithoutTreesEndsTheHostAndDeletesItsCopy) {
  Enable({L"StopHostsThatDoNotEnd"});
  Start();
  ApplyPolicy({L"Slow"});
  const std::wstring pid = std::to_wstring(ProcessOf(L"Slow"));
  LogCursor log;
  RemoveRunningHost(L"Slow");
  EXPECT_EQ(log.Count(L"Execute: host Slow did not end in time; it is ended: processes " + pid), 1u);
  EXPECT_EQ(log.Count(L"Execute: host Slow still runs"), 0u);
  EXPECT_EQ(log.Count(L"Execute: process Slow did not end"), 0u);
  EXPECT_FALSE(fs::exists(ImageOf(L"Slow")));
  EXPECT_TRUE(module->DetachedProcesses().empty());
}

TEST_F(EventLoopTest, DeleteHostForAnEndedHostRemovesItAndItsCopyAtOnce) {
  SetLife(L"Brief", 0, 0);
  Start();
  ApplyPolicy({L"Brief"});
  AwaitEnd(L"Brief");
  LogCursor log;
  Deliver(L"ZAV.Service.DeleteHost", L"Brief");
  EXPECT_TRUE(clock.EndedWaits().empty()) << "nothing to wait for";
  EXPECT_FALSE(fs::exists(ImageOf(L"Brief")));
  EXPECT_EQ(log.Count(L"Execute: host " + ImageOf(L"Brief").wstring() + L" removed"), 1u);
  EXPECT_TRUE(module->Hosts().empty());
  EXPECT_TRUE(module->DetachedProcesses().empty());
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
}

// Removed while it ran, a host's process is still the module's: the same
// name is not started again while it lives, and once it ends it is reaped,
// its copy deleted, and the host started anew if a policy names it again.
TEST_F(EventLoopTest, HostThatOutlivesItsRemovalIsWatchedAndNeverRunsTwice) {
  Start();
  ApplyPolicy({L"Twice"});
  const std::uint32_t first = ProcessOf(L"Twice");
  RemoveRunningHost(L"Twice");
  LogCursor log;
  ApplyPolicy({L"Twice"});
  IdleWakeUp();
  EXPECT_EQ(log.Count(L"ApplyHostPolicy: Twice is passed over: its earlier process " + std::to_wstring(first) +
                      L" still runs."),
            1u);
  EXPECT_EQ(log.Count(L"StartProcess: Enter"), 0u);
  EXPECT_EQ(module->Hosts().at(L"Twice").started, 0);

  ASSERT_TRUE(xplat::TerminateProcessById(first, 1));
  ASSERT_TRUE(Eventually([&] { return xplat::OpenProcessForWaiting(first).WaitForExit(0); }));
  LogCursor reaped;
  IdleWakeUp();
  EXPECT_TRUE(InOrder(reaped.Lines(),
                      {kPass,
                       L"Host Twice (process " + std::to_wstring(first) +
                           L") without a record has ended with exit code " + std::to_wstring(kKilledExitCode) + L".",
                       L"ApplyHostPolicy: Host process started for Twice"}))
      << ::testing::PrintToString(reaped.Lines());
  EXPECT_NE(ProcessOf(L"Twice"), first);
  EXPECT_TRUE(module->DetachedProcesses().empty());
#if !defined(_WIN32)
  EXPECT_EQ(::waitpid(static_cast<pid_t>(first), nullptr, WNOHANG), -1) << "reaped, no zombie";
#endif
}

// Named again, passed over and removed again, the host keeps its copy while
// the earlier process runs from it.
TEST_F(EventLoopTest, CopyOfARemovedHostGoesWhenItsProcessEnds) {
  Start();
  ApplyPolicy({L"Late"});
  const std::uint32_t pid = ProcessOf(L"Late");
  RemoveRunningHost(L"Late");
  ApplyPolicy({L"Late"});
  Deliver(L"ZAV.Service.DeleteHost", L"Late");
  ASSERT_TRUE(fs::exists(ImageOf(L"Late")));
  ASSERT_TRUE(xplat::TerminateProcessById(pid, 1));
  ASSERT_TRUE(Eventually([&] { return xplat::OpenProcessForWaiting(pid).WaitForExit(0); }));
  IdleWakeUp();
  EXPECT_FALSE(fs::exists(ImageOf(L"Late")));
  EXPECT_TRUE(module->DetachedProcesses().empty());
}

// "qvhost" in any letter case names the host executable's own copy (one
// file on Windows, two on Linux).
TEST_F(EventLoopTest, RemovalAndUpgradeNeverDeleteTheCopyOfQvhost) {
  for (const wchar_t* name : {L"QvHost", L"QVHOST"}) {
    if (!fs::exists(ImageOf(name))) fs::copy_file(programFolder / "qvhost.exe", ImageOf(name));
    SetLife(name, 0, 0);
  }
  Start();
  ApplyPolicy({L"QvHost"});
  AwaitEnd(L"QvHost");
  Deliver(L"ZAV.Service.DeleteHost", L"QvHost");
  EXPECT_TRUE(fs::exists(ImageOf(L"QvHost")));
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.UpdatePolicy"));
  ApplyPolicy({L"QVHOST"});
  AwaitEnd(L"QVHOST");
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_TRUE(fs::exists(ImageOf(L"QvHost")));
  EXPECT_TRUE(fs::exists(ImageOf(L"QVHOST")));
}

TEST_F(EventLoopTest, UpgradeWaitsTwentySecondsForEveryHostThenDeletesTheCopiesOfThoseThatEnded) {
  SetLife(L"A", 0, 0);  // first in map order
  Start();
  ApplyPolicy({L"A", L"B"});
  AwaitEnd(L"A");
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "B still runs: the wait covers every host";
  EXPECT_TRUE(fs::exists(ImageOf(L"A")) && fs::exists(ImageOf(L"B"))) << "no copy goes before the wait";
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.HostUpgrade"));
  EXPECT_TRUE(InOrder(
      log.Lines(),
      {L"Execute: Sending ZAV.Service.HostUpgrade", L"Execute: Waiting for all host processes to end",
       L"Execute: waiting for hosts to exit timed out.", L"Execute: host " + ImageOf(L"A").wstring() + L" deleted",
       L"Execute: host B still runs; its copy is kept"}));
  EXPECT_FALSE(fs::exists(ImageOf(L"A")));
  EXPECT_TRUE(fs::exists(ImageOf(L"B")));
  EXPECT_TRUE(module->Hosts().empty());
  EXPECT_EQ(module->DetachedProcesses().size(), 1u);
}

// The upgrade waits for the processes whose records went as for any host,
// and reaps those that ended, deleting their copies.
TEST_F(EventLoopTest, UpgradeWaitsForProcessesWithoutRecordsAndReapsThem) {
  Start();
  ApplyPolicy({L"Gone"});
  const std::uint32_t pid = ProcessOf(L"Gone");
  RemoveRunningHost(L"Gone");
  const std::size_t waitsRunOut = clock.EndedWaits().size();
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "no record, yet a process to wait for";
  ASSERT_TRUE(xplat::TerminateProcessById(pid, 1));
  ASSERT_TRUE(Eventually([&] { return ended.load(); })) << "its end ends the wait";
  EXPECT_EQ(clock.EndedWaits().size(), waitsRunOut);
  EXPECT_TRUE(module->DetachedProcesses().empty()) << "reaped";
  EXPECT_FALSE(fs::exists(ImageOf(L"Gone")));
}

TEST_F(EventLoopTest, UpgradeWithNoHostsEndsTheLoopAtOnce) {
  Start();
  LogCursor log;
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_TRUE(clock.EndedWaits().empty());
  EXPECT_EQ(log.Count(L"Execute: waiting for hosts to exit timed out."), 0u);
  EXPECT_EQ(log.Count(L"Execute: host "), 0u);
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.HostUpgrade"));
}

// The removal's wait holds the loop while the rest of the batch queues up.
TEST_F(EventLoopTest, TerminateInTheMiddleOfABatchLeavesLaterRecordsQueued) {
  Start();
  ApplyPolicy({L"Busy"});
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Busy"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark));
  ASSERT_TRUE(service.Send(L"ZAV.Service.TerminateThread"));
  ASSERT_TRUE(service.Send(L"ZAV.Service.InstallingModulesDone"));
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  loop.join();
  EXPECT_EQ(log.Count(L"Execute: Received event InstallingModulesDone"), 0u);
  EXPECT_EQ(log.Count(kPass), 1u) << "one last supervision pass";
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], L"**** Shutting Down Custodex Thread ****");
  EXPECT_EQ(lines.back(), L"Exit Execute()");
}

// A flood of records lets a pass run after every 256 of them, then the
// drain goes on: supervision is never starved.
TEST_F(EventLoopTest, FloodOfRecordsLetsAPassRunEvery256) {
  Start();
  ApplyPolicy({L"Busy"});
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Busy"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "the loop is held while the flood queues up";
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Absent"));
  LogCursor log;
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  std::vector<std::size_t> batches{0};
  for (const std::wstring& line : log.Lines()) {
    if (line == kPass) batches.push_back(0);
    if (line == L"Execute: Received DeleteHost for Absent") ++batches.back();
  }
  EXPECT_EQ(batches, (std::vector<std::size_t>{255, 45, 0})) << "the removal of Busy was the first of 256";
}

// With wake on host exit, a host's end cuts a flood of status requests
// short: its pass comes before the requests queued with it.
TEST_F(EventLoopTest, HostEndCutsAFloodOfStatusRequestsShort) {
  Enable({L"WakeOnHostExit", L"HostStatus"});
  Start();
  ApplyPolicy({L"Busy", L"Crashy"});
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Busy"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "the loop is held while the flood queues up";
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  Kill(L"Crashy");
  LogCursor log;
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  const std::vector<std::wstring> lines = log.Lines();
  const auto pass = std::find(lines.begin(), lines.end(), kPass);
  ASSERT_NE(pass, lines.end());
  EXPECT_EQ(std::count(lines.begin(), pass, L"Execute: Received host status request for ''"), 0);
  EXPECT_EQ(std::count(pass, lines.end(), L"Execute: Received host status request for ''"), 300);
}

// A module whose wait signal cannot be made says so once and waits its
// thirty seconds, wake on host exit asked for or not: nothing spins.
TEST_F(EventLoopTest, ASignalThatCannotBeMadeLeavesTheThirtySecondWait) {
  xplat::SetSignalCreationErrorForTesting(8);  // ENOEXEC, ERROR_NOT_ENOUGH_MEMORY: any error
  Enable({L"WakeOnHostExit", L"PublishHostEvents"});
  xplat::SetSignalCreationErrorForTesting(0);
  LogCursor log;
  Start();
  IdleWakeUp();
  IdleWakeUp();
  EXPECT_EQ(log.Count(L"Execute: the module's wait signal could not be made"), 1u);
  EXPECT_EQ(log.Count(L"Execute: the wait for events and hosts failed"), 0u);
}

// A broker that reports records and then gives none must not hold the loop
// in its drain: the pass and the next wait come first.
TEST_F(EventLoopTest, PullThatGivesNothingEndsTheDrain) {
  Start();
  LogCursor log;
  testing_support::WithholdPulls(1);
  Deliver(L"ZAV.Service.DeleteHost", L"Marker");
  EXPECT_TRUE(InOrder(log.Lines(),
                      {L"ERROR: PullEvent returned no event data", kPass, L"Execute: Received DeleteHost for Marker"}));
  EXPECT_EQ(log.Count(L"ERROR: PullEvent returned no event data"), 1u);
}

// Without a program folder, the copy's path would lie in the root folder.
TEST_F(EventLoopTest, UnknownProgramFolderDeletesNothingOnRemovalOrUpgrade) {
  const std::wstring name = L"Rootless" + std::to_wstring(xplat::CurrentProcessId());
  SetLife(name, 0, 0);
  SetLife(L"Other", 0, 0);
  Start();
  ApplyPolicy({name, L"Other"});
  AwaitEnd(name);
  AwaitEnd(L"Other");
  configKey.Key().Delete(L"ZAVExecutePath");
  const fs::path decoy = fs::path(std::wstring(1, xplat::kPathSeparator) + L"QVH-" + name + L".exe");
  testing_support::WriteFile(decoy, "not the module's");
  const bool decoyMade = fs::exists(decoy);  // the root folder may not be writable here
  LogCursor log;
  Deliver(L"ZAV.Service.DeleteHost", name);
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_EQ(log.Count(L"Execute: the program folder is unknown; the copy of " + name + L" is not deleted"), 1u);
  EXPECT_EQ(log.Count(L"Execute: the program folder is unknown; the copy of Other is not deleted"), 1u);
  EXPECT_EQ(log.Count(L"Execute: host " + name + L" removed; no copy was deleted"), 1u)
      << "the record goes all the same";
  EXPECT_EQ(fs::exists(decoy), decoyMade);
  std::error_code ignored;
  fs::remove(decoy, ignored);
}

}  // namespace
