// Hosts whose processes start workers, with the tree setting on: what waits
// for a host waits for its whole tree, what outlives a host is reported,
// and with the stop setting what outlives a wait is ended.

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <sstream>

#include "hosts/module_loop.h"
#include "xplat/process_list.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "xplat/posix/control_group.h"
#include "xplat/posix/control_group_place.h"
#include "xplat/posix/kernel_file.h"
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::Eventually;
using testing_support::InOrder;
using testing_support::kHostExitWaitMs;
using testing_support::kWakeUpMs;
using testing_support::LogCursor;

class ProcessTreesTest : public testing_support::ModuleLoopTest {
 protected:
  // The loop first: a host it starts again would start workers again.
  ~ProcessTreesTest() override {
    Stop();
    for (const std::wstring& name : named) EndWorkers(name);
  }

  // The host's fake host starts `count` workers that live 30 real seconds.
  void GiveWorkers(const std::wstring& name, int count) {
    named.push_back(name);
    testing_support::WriteFile(ImageOf(name).string() + ".workers", std::to_string(count) + " 30000");
  }
  // Every process that runs the host's copy, its workers included.
  std::vector<xplat::RunningProgram> Running(const std::wstring& name) {
    return xplat::OwnProcessesRunning({ImageOf(name).wstring()});
  }
  void EndWorkers(const std::wstring& name) {
    for (const xplat::RunningProgram& left : Running(name)) {
      xplat::TerminateProcessById(left.processId, 1);  // the handle found carries no right to end it
      left.process.WaitForExit(60000);
    }
  }
  void AwaitWorkers(const std::wstring& name, std::size_t count) {
    ASSERT_TRUE(Eventually([&] { return Running(name).size() == count; }));
  }
  // A host whose process ends once its workers run, leaving them running.
  void RunHostThatLeavesWorkers(std::initializer_list<const wchar_t*> features, const std::wstring& name, int workers) {
    Enable(features);
    GiveWorkers(name, workers);
    Start();
    ApplyPolicy({name});
    AwaitWorkers(name, static_cast<std::size_t>(workers) + 1);
    // Later runs start none: under Wine a worker whose host is ended while
    // it is being made never finishes starting, and nothing can end it.
    std::error_code ignored;
    fs::remove(ImageOf(name).string() + ".workers", ignored);
    const fs::path stop = ImageOf(name).string() + ".stop";
    testing_support::WriteFile(stop, "");
    AwaitEnd(name);
    AwaitWorkers(name, static_cast<std::size_t>(workers));
    fs::remove(stop, ignored);
  }

  // The processes an "ended" record lists.
  static std::string WorkersOf(const std::string& event) {
    const std::string key = "processes=\"";
    const std::size_t from = event.find(key);
    return from == std::string::npos
               ? ""
               : event.substr(from + key.size(), event.find('"', from + key.size()) - from - key.size());
  }

  // Whole ids only: one id can be the start of another.
  template <typename Char>
  static bool Lists(const std::basic_string<Char>& ids, std::uint32_t processId) {
    std::basic_istringstream<Char> words(ids);
    for (std::uint32_t id = 0; words >> id;) {
      if (id == processId) return true;
    }
    return false;
  }

  std::vector<std::wstring> named;
};

TEST_F(ProcessTreesTest, RemovalWaitsForTheWorkersOfAHostThatHasEnded) {
  RunHostThatLeavesWorkers({L"TrackHostTrees"}, L"Tree", 2);
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Tree"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark)) << "the host has ended, its workers have not";
  EXPECT_TRUE(fs::exists(ImageOf(L"Tree")));
  EndWorkers(L"Tree");
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark)) << "their end ends the wait";
  EXPECT_TRUE(clock.EndedWaits().empty());
  EXPECT_EQ(log.Count(L"Execute: host " + ImageOf(L"Tree").wstring() + L" removed"), 1u);
  EXPECT_FALSE(fs::exists(ImageOf(L"Tree")));
}

// The removal's wait is twenty seconds in all: a host that ends fifteen in
// leaves five for its workers.
TEST_F(ProcessTreesTest, TheRemovalsWaitIsTwentySecondsInAll) {
  Enable({L"TrackHostTrees"});
  GiveWorkers(L"Tree", 1);
  Start();
  ApplyPolicy({L"Tree"});
  AwaitWorkers(L"Tree", 2);
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Service.DeleteHost", L"Tree"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark));
  clock.Advance(15000);
  const std::uint64_t hostEnds = clock.Mark();
  testing_support::WriteFile(ImageOf(L"Tree").string() + ".stop", "");
  ASSERT_TRUE(clock.ElapseWait(5000, hostEnds)) << "what is left of the twenty seconds";
  ASSERT_TRUE(clock.AwaitWait(kWakeUpMs, mark));
  std::error_code ignored;
  fs::remove(ImageOf(L"Tree").string() + ".stop", ignored);
}

TEST_F(ProcessTreesTest, ACopyKeptForWorkersGoesOnceTheyHaveEnded) {
  RunHostThatLeavesWorkers({L"TrackHostTrees"}, L"Tree", 1);
  RemoveRunningHost(L"Tree");
  EXPECT_TRUE(fs::exists(ImageOf(L"Tree"))) << "its worker outlived the wait";
  EndWorkers(L"Tree");
  IdleWakeUp();
  EXPECT_FALSE(fs::exists(ImageOf(L"Tree")));
}

// The last host's end leaves the wait to the first one's workers.
TEST_F(ProcessTreesTest, UpgradeWaitsForTheWorkersOfEveryHost) {
  Enable({L"TrackHostTrees"});
  GiveWorkers(L"Tree", 1);
  Start();
  ApplyPolicy({L"Tree", L"Zed"});
  AwaitWorkers(L"Tree", 2);
  const fs::path treeStop = ImageOf(L"Tree").string() + ".stop";
  testing_support::WriteFile(treeStop, "");
  AwaitEnd(L"Tree");  // no pass comes before the upgrade to start it again
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark));
  const std::uint64_t zedEnds = clock.Mark();
  const fs::path stop = ImageOf(L"Zed").string() + ".stop";
  testing_support::WriteFile(stop, "");
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, zedEnds)) << "Tree's worker runs on";
  EXPECT_FALSE(ended.load());
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_EQ(log.Count(L"Execute: host Tree still runs; its copy is kept"), 1u);
  EXPECT_EQ(log.Count(L"Execute: host Zed still runs"), 0u);
  std::error_code ignored;
  fs::remove(stop, ignored);
  fs::remove(treeStop, ignored);
}

#if !defined(_WIN32)
// A host froze its own group and was killed: its restart goes into a group
// made for it, and the module thread goes on to answer the status.
TEST_F(ProcessTreesTest, AHostThatFrozeItsGroupIsBackAndTheStatusIsAnswered) {
  const std::optional<xplat::TreesPlace>& place = xplat::FindTreesPlace().place;
  if (!place) GTEST_SKIP() << "this machine lets no control group be made here";
  Enable({L"TrackHostTrees", L"WakeOnHostExit", L"HostStatus"});
  Start();
  ApplyPolicy({L"Frozen"});
  const std::uint32_t first = ProcessOf(L"Frozen");
  const std::string entry = xplat::ReadKernelFile("/proc/" + std::to_string(first) + "/cgroup").value_or("");
  const std::size_t line = entry.find("0::");
  ASSERT_NE(line, std::string::npos);
  const std::string group = place->mount + entry.substr(line + 3, entry.find('\n', line) - line - 3);
  ASSERT_TRUE(xplat::WriteKernelFile(group + "/cgroup.freeze", "1"));
  const std::uint64_t mark = clock.Mark();
  Kill(L"Frozen");
  const bool restarted = clock.AwaitWait(kWakeUpMs, mark);
  xplat::WriteKernelFile(group + "/cgroup.freeze", "0");
  ASSERT_TRUE(restarted) << "the module thread is back to its wait";
  EXPECT_NE(ProcessOf(L"Frozen"), first);
  service.Drain();
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  EXPECT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
}

// A service of this install killed left workers of Orphan and of Stray in
// its folder: the next module takes Orphan's tree over for Orphan, holds
// Stray's that no host claims (the status counts it), and its upgrade waits
// for both, then ends them by the stop setting.
TEST_F(ProcessTreesTest, TheTreesAnEndedServiceLeftAreWaitedForAndEndedAtTheUpgrade) {
  const std::optional<xplat::TreesPlace>& place = xplat::FindTreesPlace().place;
  if (!place) GTEST_SKIP() << "this machine lets no control group be made here";
  // Whatever the outcome, the workers end and the folders go.
  struct LeftTrees {
    ~LeftTrees() {
      for (xplat::StartedProcess& worker : workers) {
        worker.process.Terminate(1);
        worker.process.WaitForExit(60000);
      }
      for (const char* host : {"/qvhost1-Orphan", "/qvhost1-Stray"}) ::rmdir((folder + host).c_str());
      ::rmdir(folder.c_str());
    }
    std::string folder;
    xplat::StartedProcess workers[2]{};
  } left{place->mount + place->group + "/" +
             xplat::FormatServiceFolderName({xplat::InstallTag(programFolder.wstring()), ::getpid(), 1, 0}),
         {}};
  ASSERT_EQ(::mkdir(left.folder.c_str(), 0755), 0);
  int index = 0;
  for (const char* host : {"/qvhost1-Orphan", "/qvhost1-Stray"}) {
    xplat::StartedProcess& worker = left.workers[index++];
    ASSERT_EQ(::mkdir((left.folder + host).c_str(), 0755), 0);
    ASSERT_TRUE(xplat::StartProgram((programFolder / "qvhost.exe").wstring(), L"--worker 60000", worker));
    ASSERT_TRUE(xplat::WriteKernelFile(left.folder + host + "/cgroup.procs", std::to_string(worker.processId)));
  }
  Enable({L"TrackHostTrees", L"StopHostsThatDoNotEnd", L"HostStatus"});
  Start();
  ApplyPolicy({L"Orphan"});
  EndHost(L"Orphan");
  service.Drain();
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
  pugi::xml_document status;
  ASSERT_TRUE(status.load_buffer(service.lastData.data(), service.lastData.size()));
  EXPECT_STREQ(status.child(L"qvhosts").attribute(L"unclaimedTrees").value(), L"1");
  LogCursor log;
  const std::uint64_t mark = clock.Mark();
  ASSERT_TRUE(service.Send(L"ZAV.Upgrade.Custodex"));
  ASSERT_TRUE(clock.AwaitWait(kHostExitWaitMs, mark))
      << "the host has ended, the workers left to it and to Stray have not";
  clock.Advance(kHostExitWaitMs);
  ASSERT_TRUE(Eventually([&] { return ended.load(); }));
  EXPECT_EQ(log.Count(L"Execute: host Stray did not end in time; it is ended: processes " +
                      std::to_wstring(left.workers[1].processId)),
            1u);
  for (const xplat::StartedProcess& worker : left.workers) EXPECT_TRUE(worker.process.WaitForExit(60000));
}
#endif

TEST_F(ProcessTreesTest, StopSettingEndsTheWholeTreeAfterTheRemovalsWait) {
  Enable({L"TrackHostTrees", L"StopHostsThatDoNotEnd"});
  GiveWorkers(L"Stubborn", 2);
  Start();
  ApplyPolicy({L"Stubborn"});
  AwaitWorkers(L"Stubborn", 3);
  const std::uint32_t host = ProcessOf(L"Stubborn");
  LogCursor log;
  RemoveRunningHost(L"Stubborn");
  const std::wstring prefix = L"Execute: host Stubborn did not end in time; it is ended: processes ";
  const std::vector<std::wstring> lines = log.Lines();
  const auto ended =
      std::find_if(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.rfind(prefix, 0) == 0; });
  ASSERT_NE(ended, lines.end());
  const std::wstring processes = ended->substr(prefix.size());
  EXPECT_EQ(std::count(processes.begin(), processes.end(), L' '), 2) << "the host and its two workers";
  EXPECT_TRUE(Lists(processes, host));
  EXPECT_TRUE(Running(L"Stubborn").empty());
  EXPECT_TRUE(module->DetachedProcesses().empty()) << "nothing stays passed over";
  EXPECT_EQ(log.Count(L"Execute: host " + ImageOf(L"Stubborn").wstring() + L" removed"), 1u);
}

// A worker that has ended since is no longer left over.
TEST_F(ProcessTreesTest, WorkersThatOutliveTheirHostAreReportedAndShown) {
  RunHostThatLeavesWorkers({L"TrackHostTrees", L"HostStatus", L"PublishHostEvents"}, L"Leaky", 3);
  service.HearHostEvents();
  const std::uint32_t first = ProcessOf(L"Leaky");
  LogCursor log;
  IdleWakeUp();
  EXPECT_EQ(log.Count(L"CheckThatHostIsStillRunning: Leaky has ended; processes it started run on: "), 1u);
  EXPECT_NE(ProcessOf(L"Leaky"), first) << "started again as without the setting";
  const std::vector<xplat::RunningProgram> running = Running(L"Leaky");
  service.Drain();
  const auto endedEvent =
      std::find_if(service.hostEvents.begin(), service.hostEvents.end(),
                   [](const std::string& event) { return event.find("\"ended\"") != std::string::npos; });
  ASSERT_NE(endedEvent, service.hostEvents.end());
  for (const xplat::RunningProgram& worker : running) {
    EXPECT_EQ(Lists(WorkersOf(*endedEvent), worker.processId), worker.processId != ProcessOf(L"Leaky"))
        << "told with its end: " << worker.processId;
  }
  const auto ended = std::find_if(running.begin(), running.end(),
                                  [&](const xplat::RunningProgram& p) { return p.processId != ProcessOf(L"Leaky"); });
  ASSERT_NE(ended, running.end());
  xplat::TerminateProcessById(ended->processId, 1);
  ended->process.WaitForExit(60000);
  service.Drain();
  ASSERT_TRUE(service.Send(L"ZAV.Service.QueryHostStatus"));
  ASSERT_TRUE(service.AwaitRecord(L"ZAV.Service.HostStatus"));
  pugi::xml_document status;
  ASSERT_TRUE(status.load_buffer(service.lastData.data(), service.lastData.size()));
  const pugi::xml_node leaky = status.child(L"qvhosts").child(L"host");
  const std::wstring leftOver = leaky.attribute(L"leftOver").value();
  EXPECT_EQ(std::count(leftOver.begin(), leftOver.end(), L' '), 1) << "two workers left over";
  EXPECT_FALSE(Lists(leftOver, ended->processId));
#if !defined(_WIN32)
  EXPECT_FALSE(leaky.attribute(L"cpuUserMs").empty());  // Wine's jobs keep no CPU time
#endif
}

}  // namespace
