// Ending every host ends what runs of hosts whose records went too: their
// processes still watched and their trees; each host's end is told.

#include "hosts/supervision/host_ending.h"

#include <gtest/gtest.h>

#include "hosts/host_test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using HostEndingTest = testing_support::HostsTest;

TEST_F(HostEndingTest, EveryHostIsEndedThoseWhoseRecordsWentIncluded) {
  CLogger logger(L"Custodex");
  zav::custody::HostTrees trees(true, programFolder.wstring(), logger);
  zav::custody::DetachedHosts detached(logger);
  std::vector<std::wstring> told;
  zav::custody::HostEvents events(true, [&](const std::wstring& hostName, const std::string& document) {
    if (document.find("kind=\"ended-by-module\"") != std::string::npos) told.push_back(hostName);
    return true;
  });
  zav::custody::HostRuns runs(false, false);
  const zav::custody::HostEnding ending(true, trees, detached, runs, events, logger);
  const std::wstring image = (programFolder / "qvhost.exe").wstring();
  zav::custody::HostContainer hosts;
  xplat::StartedProcess removedTree;
  ASSERT_TRUE(trees.Start(L"Removed", image, L"-m Removed", removedTree));
  zav::custody::HostRecord detachedRecord;
  detachedRecord.hostName = L"Detached";
  xplat::StartedProcess started;
  ASSERT_TRUE(xplat::StartProgram(image, L"-m Detached", started));
  detachedRecord.processHandle = std::move(started.process);
  detachedRecord.processId = started.processId;
  detached.Detach(detachedRecord);
  zav::custody::HostRecord& kept = hosts[L"Kept"];
  kept.hostName = L"Kept";
  ASSERT_TRUE(xplat::StartProgram(image, L"-m Kept", started));
  kept.processHandle = std::move(started.process);

  ending.EndEveryHost(hosts, testing_support::kHostPatienceMs);
  events.Release();
  EXPECT_EQ(trees.State(L"Removed"), xplat::TreeState::Empty);
  EXPECT_FALSE(detached.RunningProcessOf(L"Detached"));
  EXPECT_TRUE(kept.processHandle.HasEnded());
  EXPECT_EQ(told, (std::vector<std::wstring>{L"Detached", L"Kept", L"Removed"})) << "each told once";
}

#if !defined(_WIN32)
// A tree that cannot be read (no descriptor left) still runs: its copy is
// never let go on a guess.
TEST_F(HostEndingTest, ATreeThatCannotBeReadStillRuns) {
  CLogger logger(L"Custodex");
  zav::custody::HostTrees trees(true, programFolder.wstring(), logger);
  zav::custody::DetachedHosts detached(logger);
  zav::custody::HostEvents events(false, nullptr);
  zav::custody::HostRuns runs(false, false);
  const zav::custody::HostEnding ending(false, trees, detached, runs, events, logger);
  zav::custody::HostRecord record;
  record.hostName = L"Tree";
  xplat::StartedProcess started;
  ASSERT_TRUE(trees.Start(L"Tree", (programFolder / "qvhost.exe").wstring(), L"-m Tree", started));
  ASSERT_TRUE(ending.StillRuns(record)) << "its tree runs; the record holds no process";
  std::vector<int> filled;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filled.push_back(fd);
  const bool stillRuns = ending.StillRuns(record);
  for (const int fd : filled) ::close(fd);
  EXPECT_TRUE(stillRuns);
  started.process.Terminate(1);
  EXPECT_EQ(trees.WaitUntilEmpty(trees.All(), testing_support::kHostPatienceMs), xplat::TreeState::Empty);
}
#endif

}  // namespace
