// What the module tells of its hosts as it happens: each change of a host's
// state one record, in order, numbered one after another.

#include "hosts/supervision/host_events.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "hosts/module_loop.h"
#include "hosts/supervision/status_text.h"
#include "xplat/clock.h"
#include "xplat/process_list.h"

namespace {

using testing_support::Eventually;
using testing_support::kHostExitWaitMs;
using testing_support::kWakeUpMs;

class HostEventsTest : public testing_support::ModuleLoopTest {
 protected:
  // The kinds of the events posted since the last call, each numbered one
  // more than the one before.
  std::vector<std::wstring> Posted() {
    service.Drain();
    std::vector<std::wstring> kinds;
    for (const std::string& data : service.hostEvents) {
      pugi::xml_document document;
      EXPECT_TRUE(document.load_buffer(data.data(), data.size()));
      last = document.child(L"hostEvent");
      EXPECT_EQ(last.attribute(L"sequence").as_ullong(), ++sequence);
      kinds.push_back(last.attribute(L"kind").value());
      events.push_back(std::move(document));
    }
    service.hostEvents.clear();
    return kinds;
  }

  // Whether an event's time is between two of the wall clock.
  static bool Within(const wchar_t* time, std::uint64_t fromMs, std::uint64_t toMs) {
    return zav::custody::IsoTime(fromMs) <= time && time <= zav::custody::IsoTime(toMs);
  }

  testing_support::LogCursor log;
  std::uint64_t sequence = 0;
  std::vector<pugi::xml_document> events;
  pugi::xml_node last;
};

using Kinds = std::vector<std::wstring>;

// Five runs in a row that end at once make a crash loop, said once; a run of
// a minute then is a recovery.
TEST_F(HostEventsTest, ACrashLoopAndItsRecoveryAreToldInOrder) {
  Enable({L"WakeOnHostExit", L"RestartBackOff", L"PublishHostEvents"});
  service.HearHostEvents();
  SetLife(L"Crashy", 0, 3);
  Start();
  ApplyPolicy({L"Crashy"}, 1000);
  EXPECT_EQ(Posted(), (Kinds{L"started", L"ended", L"backing-off"}));
  const pugi::xml_node ended = events[1].child(L"hostEvent");
  EXPECT_STREQ(ended.attribute(L"exitCode").value(), L"3");
  EXPECT_STREQ(ended.attribute(L"reason").value(), L"exited");
  EXPECT_STREQ(ended.attribute(L"ranMs").value(), L"0");
  EXPECT_TRUE(ended.attribute(L"processes").empty()) << "no trees, no processes";
  for (const auto& [delay, next] : {std::pair{1000u, 1000u}, {1000u, 2000u}, {2000u, 4000u}, {4000u, 8000u}}) {
    const std::uint64_t mark = clock.Mark();
    const std::uint64_t before = xplat::WallClockMs();
    clock.Advance(delay);
    ASSERT_TRUE(clock.AwaitWait(next, mark));
    Kinds expected{L"started", L"ended", L"backing-off"};
    if (next == 8000u) expected.push_back(L"crash-looping");
    EXPECT_EQ(Posted(), expected) << "after " << delay << " ms";
    const std::uint64_t after = xplat::WallClockMs();
    const pugi::xml_node backingOff = events[events.size() - expected.size() + 2].child(L"hostEvent");
    EXPECT_TRUE(Within(backingOff.attribute(L"time").value(), before, after));
    EXPECT_TRUE(Within(backingOff.attribute(L"nextStart").value(), before + next, after + next));
  }
  SetLife(L"Crashy", 600000, 0);
  std::uint64_t mark = clock.Mark();
  clock.Advance(8000);
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_EQ(Posted(), Kinds{L"started"});
  for (int halfMinute = 0; halfMinute < 2; ++halfMinute) {
    mark = clock.Mark();
    ASSERT_TRUE(clock.ElapseWait(kWakeUpMs));
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  }
  EXPECT_EQ(Posted(), Kinds{L"recovered"});
  RemoveRunningHost(L"Crashy");
  EXPECT_EQ(Posted(), (Kinds{L"copy-kept", L"removed"}));
}

// Without wake on host exit each end is noted as it comes, the restart
// waiting for the pass: runs are timed to their own end, crash loops are
// found, and the status asks the process.
TEST_F(HostEventsTest, RunsAreTimedToTheirOwnEndWithoutWakeOnHostExit) {
  Enable({L"PublishHostEvents", L"HostStatus"});
  service.HearHostEvents();
  SetLife(L"Crashy", 100, 3);
  Start();
  ApplyPolicy({L"Crashy"});
  EXPECT_EQ(Posted(), Kinds{L"started"});
  for (int end = 1; end <= 6; ++end) {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "the end is noted and the wait goes on";
    if (end == 6) break;
    IdleWakeUp();
    Kinds expected{L"ended", L"started"};
    if (end == 5) expected.insert(expected.begin() + 1, L"crash-looping");
    EXPECT_EQ(Posted(), expected) << "end " << end;
    EXPECT_LT(events[events.size() - expected.size()].child(L"hostEvent").attribute(L"ranMs").as_ullong(), 1000u);
  }
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
  pugi::xml_document status;
  ASSERT_TRUE(status.load_buffer(service.lastData.data(), service.lastData.size()));
  EXPECT_STREQ(status.child(L"qvhosts").child(L"host").attribute(L"state").value(), L"ended");
}

// With the status alone, crash loops are said in the log and the status,
// and no count of refused records is shown.
TEST_F(HostEventsTest, TheStatusAloneSaysCrashLoops) {
  Enable({L"HostStatus"});
  SetLife(L"Crashy", 100, 3);
  Start();
  ApplyPolicy({L"Crashy"});
  for (int end = 1; end <= 5; ++end) {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "end " << end << " is noted";
    IdleWakeUp();
  }
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Crashy is crash-looping"), 1u);
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
  pugi::xml_document status;
  ASSERT_TRUE(status.load_buffer(service.lastData.data(), service.lastData.size()));
  EXPECT_STREQ(status.child(L"qvhosts").child(L"host").attribute(L"crashLooping").value(), L"true");
  EXPECT_TRUE(status.child(L"qvhosts").attribute(L"eventsDropped").empty());
}

// A start that keeps failing with one error is said once, however often
// other hosts' ends bring the policy back to it.
TEST_F(HostEventsTest, AStartThatKeepsFailingIsSaidOnce) {
  Enable({L"PublishHostEvents"});
  service.HearHostEvents();
  std::filesystem::create_directories(ImageOf(L"Broken"));  // no copy can be made there
  SetLife(L"Crashy", 100, 3);
  Start();
  ApplyPolicy({L"Broken", L"Crashy"});
  for (int pass = 0; pass < 3; ++pass) {
    const std::uint64_t mark = clock.Mark();
    ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "Crashy's end is noted";
    IdleWakeUp();
  }
  const Kinds kinds = Posted();
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), L"start-failed"), 1);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), L"ended"), 3) << "Crashy's ends brought the policy back";
}

// Every start is ended in the records before its host's removal, and
// before the module ends: by "ended" where the host ends by itself meanwhile.
TEST_F(HostEventsTest, EveryStartIsEndedBeforeItsRemovalAndTheModulesEnd) {
  Enable({L"PublishHostEvents"});
  service.HearHostEvents();
  SetLife(L"Alpha", 300, 0);
  SetLife(L"Beta", 2000, 0);
  Start();
  ApplyPolicy({L"Alpha", L"Beta"});
  EXPECT_EQ(Posted(), (Kinds{L"started", L"started"}));
  Deliver(L"ZAV.Service.DeleteHost", L"Alpha");
  EXPECT_EQ(Posted(), (Kinds{L"ended", L"removed"}));
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_EQ(Posted(), Kinds{L"ended"});
  EXPECT_STREQ(last.attribute(L"name").value(), L"Beta");
  EXPECT_STREQ(last.attribute(L"exitCode").value(), L"0");
}

// A removal's records go out before the answer to a status request that
// came in the same drain after it.
TEST_F(HostEventsTest, ARemovalsRecordsGoOutBeforeTheNextRequestIsAnswered) {
  Enable({L"PublishHostEvents", L"HostStatus"});
  service.HearHostEvents();
  Start();
  ApplyPolicy({L"Slow"});
  service.Drain();
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Slow"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark));
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  clock.Advance(kHostExitWaitMs);
  std::vector<std::wstring> names;
  ASSERT_TRUE(Eventually([&] {
    for (std::wstring& name : service.Drain()) names.push_back(std::move(name));
    return std::count(names.begin(), names.end(), L"ZAV.Service.HostStatus") == 1;
  }));
  const auto answer = std::find(names.begin(), names.end(), L"ZAV.Service.HostStatus");
  EXPECT_EQ(std::count(names.begin(), answer, L"ZAV.Service.HostEvent"), 2) << "copy-kept, removed";
}

#if !defined(_WIN32)
// A host taken over from an ended service is not this process's child:
// its end is told, its exit code unknown.
TEST_F(HostEventsTest, AnAdoptedHostsEndHasNoExitCode) {
  std::filesystem::copy_file(programFolder / "qvhost.exe", ImageOf(L"Alpha"));
  xplat::StartedProcess shell;  // its child outlives it, taken in by another process
  ASSERT_TRUE(xplat::StartProgram(L"/bin/sh", L"-c \"'" + ImageOf(L"Alpha").wstring() + L"' -m Alpha &\"", shell));
  ASSERT_TRUE(shell.process.WaitForExit(testing_support::kHostPatienceMs));
  ASSERT_TRUE(Eventually([&] { return xplat::OwnProcessesRunning({ImageOf(L"Alpha").wstring()}).size() == 1; }));
  Enable({L"AdoptHosts", L"WakeOnHostExit", L"PublishHostEvents"});
  service.HearHostEvents();
  Start();
  ApplyPolicy({L"Alpha"});
  const std::uint64_t mark = clock.Mark();
  Kill(L"Alpha");
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  EXPECT_EQ(Posted(), (Kinds{L"started", L"ended", L"started"}));
  EXPECT_STREQ(events[0].child(L"hostEvent").attribute(L"adopted").value(), L"true");
  EXPECT_STREQ(events[1].child(L"hostEvent").attribute(L"exitCode").value(), L"unknown");
}
#endif

// Processes told after their event was held go with the host's last held
// event of that kind, and with no other.
TEST(HostEventsHoldTest, ProcessesToldLaterGoWithTheHostsLastEventOfTheKind) {
  std::vector<std::string> posted;
  zav::custody::HostEvents events(true, [&](const std::wstring&, std::string document) {
    posted.push_back(std::move(document));
    return true;
  });
  events.Ended(L"Alpha", 1, {});
  events.Ended(L"Beta", 2, {});
  events.BackingOff(L"Alpha", 0);
  events.TellLeftOver(L"Alpha", {7, 8});
  events.Release();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_NE(posted[0].find("processes=\"7 8\""), std::string::npos);
  EXPECT_EQ(posted[1].find("processes"), std::string::npos);
  EXPECT_EQ(posted[2].find("processes"), std::string::npos);
}

// Off, nothing goes out; on, each record is offered once and each the
// broker refuses is counted.
TEST(HostEventsHoldTest, RecordsGoOutOnlyWhenOnAndEachRefusalIsCounted) {
  for (const bool enabled : {false, true}) {
    int offered = 0;
    zav::custody::HostEvents events(enabled, [&](const std::wstring&, std::string) { return ++offered % 2 == 0; });
    events.Started(L"Alpha", 1, false);
    events.StartFailed(L"Alpha", L"denied");
    events.Removed(L"Alpha");
    events.Release();
    events.Release();
    EXPECT_EQ(offered, enabled ? 3 : 0);
    EXPECT_EQ(events.Dropped(), enabled ? 2u : 0u);
  }
}

}  // namespace
