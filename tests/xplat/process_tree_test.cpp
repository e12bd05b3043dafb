#include "xplat/process_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "support/fake_clock.h"
#include "support/test_environment.h"
#include "xplat/child_process.h"
#include "xplat/clock.h"
#include "xplat/text.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group.h"
#include "xplat/posix/control_group_place.h"
#include "xplat/posix/group_watch.h"
#include "xplat/posix/kernel_file.h"
#include "xplat/posix/process_stat.h"
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProgram;
using testing_support::kChildPatience;
using xplat::TreeState;

struct TreeWay {
  const char* name;
  xplat::ProcessTreeKind kind;
};

std::vector<TreeWay> Ways() {
#if defined(_WIN32)
  return {{"JobObject", xplat::ProcessTreeKind::JobObject}};
#else
  return {{"ControlGroup", xplat::ProcessTreeKind::ControlGroup},
          {"ProcessGroup", xplat::ProcessTreeKind::ProcessGroup}};
#endif
}

template <typename Condition>
bool Within(std::uint32_t ms, Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class ProcessTreeTest : public testing::TestWithParam<TreeWay> {
 protected:
  void SetUp() override {
    const bool processGroups = GetParam().kind == xplat::ProcessTreeKind::ProcessGroup;
    tree = xplat::ProcessTree::Create(L"tree-test-" + std::to_wstring(xplat::CurrentProcessId()), processGroups);
    ASSERT_TRUE(tree);
    if (tree.Kind() != GetParam().kind) GTEST_SKIP() << "this machine lets no control group be made here";
  }
  void TearDown() override {
    Release();
    if (!tree) return;
    tree.Terminate(1);
    EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  }

  // The children "until" and its kin end once this file exists.
  void Release() { std::ofstream(release) << "go"; }
  bool Start(const std::wstring& arguments) {
    return tree.Start(ChildProgram(), arguments + L" " + testing_support::Quoted(release.wstring()), root);
  }
  bool HoldsProcesses(std::size_t count) {
    return Within(kChildPatience, [&] { return tree.ProcessIds().value_or(std::vector<std::uint32_t>()).size() == count; });
  }

  const fs::path release = testing_support::CreateTestFolder() / "release";
  xplat::ProcessTree tree;
  xplat::StartedProcess root;
};

TEST_P(ProcessTreeTest, HoldsWhatItsProgramStartsAndWaitsForAllOfIt) {
  ASSERT_TRUE(Start(L"workers 3"));
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience)) << "the program ends at once; its workers go on";
  ASSERT_TRUE(HoldsProcesses(3));
  const std::vector<std::uint32_t> members = *tree.ProcessIds();
  EXPECT_EQ(std::count(members.begin(), members.end(), root.processId), 0);
  {
    testing_support::FakeClock clock;
    EXPECT_EQ(tree.WaitUntilEmpty(1000), TreeState::Populated);
    EXPECT_EQ(clock.NowMs(), 1000u);
  }
  Release();
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
}

// Each link of the chain starts the next and ends: no listing sees them all,
// and the tree's end ends the chain.
TEST_P(ProcessTreeTest, AChainIsNeverEmptyAndHoldsNoWaitPastItsTime) {
  ASSERT_TRUE(Start(L"chain"));
  for (int look = 0; look < 200; ++look) {
    tree.Refresh();
    ASSERT_EQ(tree.State(), TreeState::Populated) << "look " << look;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  auto waited = std::async(std::launch::async, [&] { return tree.WaitUntilEmpty(300); });
  const bool returned = waited.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(returned);
  EXPECT_EQ(waited.get(), TreeState::Populated);
  tree.Terminate(1);
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
#if !defined(_WIN32)
  std::uint32_t code = 0;
  root.process.GetExitCode(code);  // reaped: only links could hold the group's id
  EXPECT_TRUE(Within(kChildPatience, [&] { return ::kill(-static_cast<pid_t>(root.processId), 0) != 0; }))
      << "no link of the chain runs on";
#endif
}

TEST_P(ProcessTreeTest, AProcessWhoseFirstThreadEndedIsCountedAndEnded) {
  ASSERT_TRUE(Start(L"lone-thread"));
#if !defined(_WIN32)
  ASSERT_TRUE(Within(kChildPatience, [&] {
    const std::optional<xplat::ProcessStat> stat = xplat::ReadProcessStat(static_cast<pid_t>(root.processId));
    return stat && stat->state == 'Z';
  }));
#endif
  EXPECT_EQ(tree.State(), TreeState::Populated);
  EXPECT_EQ(tree.ProcessIds(), std::vector<std::uint32_t>{root.processId});
  tree.Terminate(1);
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
}

// The kernel kills every process cloned into a group after its cgroup.kill.
TEST_P(ProcessTreeTest, ATreeEndedTakesItsNextStartAlive) {
  ASSERT_TRUE(Start(L"until"));
  tree.Terminate(1);
  ASSERT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  const fs::path written = release.string() + ".args";
  ASSERT_TRUE(Start(L"args " + testing_support::Quoted(written.wstring())));
  std::uint32_t code = 1;
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  EXPECT_TRUE(root.process.GetExitCode(code) && code == 0) << "it ran to its end: " << code;
  EXPECT_TRUE(fs::exists(written));
}

// CPU time is at most the time the process ran.
// The tree's CPU time is at least what its program says it used, and at
// most the time it ran; a system that keeps none for a tree gives none.
TEST_P(ProcessTreeTest, CpuTimeIsTheMillisecondsUsed) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(L"spin 100"));
  const fs::path spun = release.string() + ".spun";
  std::uint64_t reported = 0;
  ASSERT_TRUE(Within(kChildPatience, [&] { return !(std::ifstream(spun) >> reported).fail(); }));
  const xplat::ProcessTreeUsage usage = tree.ReadUsage();
  const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(usage.userMs.has_value(), usage.kernelMs.has_value());
  if (!usage.userMs) return;
  const std::uint64_t used = *usage.userMs + *usage.kernelMs;
  EXPECT_GE(used + 20, reported) << "a clock tick of each kind less at most";
  EXPECT_LE(used, static_cast<std::uint64_t>(ran.count()) + 20);
}

#if !defined(_WIN32)
TEST_P(ProcessTreeTest, EachProgramLeadsASessionOfItsOwn) {
  ASSERT_TRUE(Start(L"until"));
  EXPECT_EQ(::getsid(static_cast<pid_t>(root.processId)), static_cast<pid_t>(root.processId));
}

// What a run left is told apart from a run started since: each run has
// groups of its own.
TEST_P(ProcessTreeTest, WhatEarlierRunsLeftLeavesOutLaterRuns) {
  ASSERT_TRUE(Start(L"workers 1"));
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  ASSERT_TRUE(HoldsProcesses(1));
  const std::vector<std::uint32_t> left = *tree.ProcessIds();
  const std::uint64_t runs = tree.Runs();
  xplat::StartedProcess later;
  ASSERT_TRUE(tree.Start(ChildProgram(), L"workers 2 " + testing_support::Quoted(release.wstring()), later));
  ASSERT_TRUE(later.process.WaitForExit(kChildPatience));
  ASSERT_TRUE(HoldsProcesses(3));
  EXPECT_EQ(tree.ProcessIdsOfRuns(runs), left);
  EXPECT_EQ(tree.ProcessIdsOfRuns(tree.Runs())->size(), 3u);
}

// With no descriptor left nothing can be read, nothing is taken as empty
// and no figure is given.
TEST_P(ProcessTreeTest, ATreeThatCannotBeReadIsNotEmpty) {
  ASSERT_TRUE(Start(L"workers 1"));
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  ASSERT_TRUE(HoldsProcesses(1));
  // Once before: the sanitizers' checks of a call, cached then, need descriptors.
  ASSERT_EQ(tree.WaitUntilEmpty(0), TreeState::Populated);
  std::vector<int> filled;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filled.push_back(fd);
  tree.Refresh();
  const TreeState state = tree.State();
  const TreeState waited = tree.WaitUntilEmpty(0);
  const bool listed = tree.ProcessIds().has_value();
  const xplat::ProcessTreeUsage usage = tree.ReadUsage();
  for (const int fd : filled) ::close(fd);
  EXPECT_FALSE(usage.userMs || usage.kernelMs) << "no CPU figure for a tree not read";
  EXPECT_NE(state, TreeState::Empty);
  EXPECT_NE(waited, TreeState::Empty);
  if (GetParam().kind == xplat::ProcessTreeKind::ControlGroup) {
    EXPECT_EQ(state, TreeState::Unknown);
  }
  EXPECT_FALSE(listed);
}
#endif

INSTANTIATE_TEST_SUITE_P(Ways, ProcessTreeTest, testing::ValuesIn(Ways()),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });

#if !defined(_WIN32)
// A listing goes stale as its processes end and their ids are taken again:
// a listed process is ended only if, its pidfd held, the kernel still puts
// it in the group.
TEST(ControlGroupTest, AListedProcessTheKernelPutsElsewhereIsNotEnded) {
  const fs::path folder = testing_support::CreateTestFolder();
  testing_support::ChildProcesses children;
  const xplat::StartedProcess* elsewhere = children.Start(L"sleep 60000 0");
  ASSERT_TRUE(elsewhere);
  std::ofstream(folder / "cgroup.procs") << elsewhere->processId << "\n";
  const xplat::ControlGroup stale(folder.parent_path().string(), "/" + folder.filename().string());
  stale.KillMembers();
  EXPECT_FALSE(elsewhere->process.WaitForExit(500));
}

TEST(ProcessStatTest, ReadsTheFieldsAfterTheName) {
  const std::optional<xplat::ProcessStat> stat = xplat::ParseProcessStat(
      "4711 (a (b) c) Z 1 4712 4713 34816 4711 4194560 1 2 3 4 250 75 6 7 20 0 3 0 123456 1 2\n");
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->processId, 4711);
  EXPECT_EQ(stat->state, 'Z');
  EXPECT_EQ(stat->processGroup, 4712);
  EXPECT_EQ(stat->session, 4713);
  EXPECT_EQ(stat->userTicks, 250u);
  EXPECT_EQ(stat->kernelTicks, 75u);
  EXPECT_EQ(stat->threads, 3);
  EXPECT_EQ(stat->startTicks, 123456u);
  EXPECT_TRUE(stat->Runs()) << "a zombie leader whose other threads run";
  EXPECT_FALSE(xplat::ParseProcessStat("4711 (cut"));
}

// Control groups, where this machine lets them be made.
class ControlGroupTreeTest : public ProcessTreeTest {
 protected:
  // The folder of the group the process is in, as the kernel says.
  static std::string GroupOf(std::uint32_t process) {
    const std::string entry = xplat::ReadKernelFile("/proc/" + std::to_string(process) + "/cgroup").value_or("");
    const std::size_t line = entry.find("0::");
    return xplat::FindTreesPlace().place->mount + entry.substr(line + 3, entry.find('\n', line) - line - 3);
  }
};

TEST_P(ControlGroupTreeTest, AWorkerInAGroupOfItsOwnStaysInTheTree) {
  ASSERT_TRUE(Start(L"escape-group"));
  ASSERT_TRUE(Within(kChildPatience, [&] { return GroupOf(root.processId).find("/escaped") != std::string::npos; }));
  const std::string group = GroupOf(root.processId);
  EXPECT_EQ(tree.State(), TreeState::Populated);
  EXPECT_EQ(tree.ProcessIds(), std::vector<std::uint32_t>{root.processId});
  tree.Terminate(1);
  ASSERT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  tree = xplat::ProcessTree();
  EXPECT_FALSE(fs::exists(fs::path(group).parent_path())) << "its folder goes with the one made beneath it";
}

// No file of a group a host ran in is trusted again: each start has a
// group of its own, and an empty one goes.
TEST_P(ControlGroupTreeTest, EachStartGoesIntoAGroupMadeForIt) {
  ASSERT_TRUE(Start(L"until"));
  const std::string group = GroupOf(root.processId);
  Release();
  ASSERT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  EXPECT_FALSE(fs::exists(group));
  fs::remove(release);
  ASSERT_TRUE(Start(L"until"));
  EXPECT_NE(GroupOf(root.processId), group);
}

TEST_P(ControlGroupTreeTest, ATreeIsEndedWhereTheKernelHasNoGroupKill) {
  xplat::SetGroupKillMissingForTesting(true);
  ASSERT_TRUE(Start(L"workers 3"));
  ASSERT_TRUE(HoldsProcesses(3));
  tree.Terminate(1);
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  xplat::SetGroupKillMissingForTesting(false);
}

TEST_P(ControlGroupTreeTest, AStartTheKernelRefusesRunsInAProcessGroup) {
  xplat::SetCloneRefusalForTesting(ENOSYS);
  const bool started = Start(L"until");
  const xplat::ProcessTreeKind kind = tree.Kind();
  const std::wstring why = tree.WhyProcessGroups();
  xplat::SetCloneRefusalForTesting(0);
  ASSERT_TRUE(started);
  EXPECT_EQ(kind, xplat::ProcessTreeKind::ProcessGroup);
  EXPECT_NE(why.find(L"refuses"), std::wstring::npos);
  EXPECT_EQ(tree.ProcessIds(), std::vector<std::uint32_t>{root.processId});
}

// A host made its ended group threaded, which leaves every other group
// beside it unusable until it goes: the next start goes on in a group of
// its own, and other trees keep theirs.
TEST_P(ControlGroupTreeTest, AGroupMadeThreadedHoldsNoStartBack) {
  ASSERT_TRUE(Start(L"exit 0"));
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  const std::string group = GroupOf(root.processId);
  ASSERT_TRUE(Within(kChildPatience, [&] { return tree.State() == TreeState::Empty; }));
  ASSERT_TRUE(xplat::WriteKernelFile(group + "/cgroup.type", "threaded"));
  xplat::ProcessTree other = xplat::ProcessTree::Create(L"tree-test-other");
  xplat::StartedProcess started;
  ASSERT_TRUE(other.Start(ChildProgram(), L"until " + testing_support::Quoted(release.wstring()), started));
  EXPECT_EQ(other.Kind(), xplat::ProcessTreeKind::ControlGroup);
  ASSERT_TRUE(Start(L"until"));
  EXPECT_EQ(tree.Kind(), xplat::ProcessTreeKind::ControlGroup);
  EXPECT_NE(GroupOf(root.processId), group);
  Release();
  EXPECT_EQ(other.WaitUntilEmpty(kChildPatience), TreeState::Empty);
}

// A threaded group lists no processes and refuses cgroup.kill: its
// threads name its processes, which are ended through their pidfds.
TEST_P(ControlGroupTreeTest, AThreadedGroupIsEndedThroughItsThreads) {
  const xplat::TreesPlace& place = *xplat::FindTreesPlace().place;
  const std::string root = place.group + "/tree-test-threaded-" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir((place.mount + root).c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((place.mount + root + "/t").c_str(), 0755), 0);
  struct Folders {  // removed once the child below has ended, whatever the outcome
    ~Folders() {
      ::rmdir((path + "/t").c_str());
      ::rmdir(path.c_str());
    }
    std::string path;
  } folders{place.mount + root};
  testing_support::ChildProcesses children;
  const xplat::StartedProcess* child = children.Start(L"until " + testing_support::Quoted(release.wstring()));
  const std::string pid = child ? std::to_string(child->processId) : "";
  const bool placed = child && xplat::WriteKernelFile(place.mount + root + "/t/cgroup.type", "threaded") &&
                      xplat::WriteKernelFile(place.mount + root + "/cgroup.procs", pid) &&
                      xplat::WriteKernelFile(place.mount + root + "/t/cgroup.threads", pid);
  const xplat::ControlGroup threaded(place.mount, root + "/t");
  const std::optional<std::vector<pid_t>> members = threaded.Members();
  const bool killed = placed && threaded.Kill();
  const bool ended = child && children[0].WaitForExit(kChildPatience);
  ASSERT_TRUE(placed);
  EXPECT_EQ(members, std::vector<pid_t>{static_cast<pid_t>(child->processId)});
  EXPECT_TRUE(killed);
  EXPECT_TRUE(ended);
}

// A host froze the folder every new group goes into: the start is given
// up within its bound, its child ended, and the next start goes on.
TEST_P(ControlGroupTreeTest, AStartIntoAFrozenGroupIsAbandonedInTime) {
  ASSERT_TRUE(Start(L"exit 0"));
  const std::string folder = fs::path(GroupOf(root.processId)).parent_path().string();
  ASSERT_TRUE(xplat::WriteKernelFile(folder + "/cgroup.freeze", "1"));
  const auto start = std::chrono::steady_clock::now();
  xplat::StartedProcess frozen;
  const bool started = tree.Start(ChildProgram(), L"until " + testing_support::Quoted(release.wstring()), frozen);
  const auto took = std::chrono::steady_clock::now() - start;
  const bool abandoned = tree.StartAbandoned();
  xplat::WriteKernelFile(folder + "/cgroup.freeze", "0");
  EXPECT_FALSE(started);
  EXPECT_TRUE(abandoned);
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty) << "its child was ended";
  ASSERT_TRUE(Start(L"until"));
  EXPECT_FALSE(tree.StartAbandoned());
}

// A wait decides from what each round reads of the groups it holds: the
// read arms the next poll, and a group that emptied since holds it no time.
TEST_P(ControlGroupTreeTest, AWatchedGroupIsReadAgainAtEachRound) {
  ASSERT_TRUE(Start(L"until"));
  const std::string mount = xplat::FindTreesPlace().place->mount;
  const xplat::ControlGroup group(mount, GroupOf(root.processId).substr(mount.size()));
  xplat::GroupWatch watch(4);
  watch.BeginRound();
  EXPECT_EQ(watch.Watch(group), TreeState::Populated);
  watch.EndRound();
  std::vector<pollfd> polled = watch.Polled();
  ASSERT_EQ(polled.size(), 1u);
  Release();
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  EXPECT_EQ(::poll(polled.data(), polled.size(), 10000), 1);
  watch.BeginRound();
  EXPECT_EQ(watch.Watch(group), TreeState::Empty);
  watch.EndRound();
  EXPECT_TRUE(watch.Polled().empty());
}

// Trees are made in a manager's unit only where it was delegated.
TEST_P(ControlGroupTreeTest, AServiceManagersUnitIsUsedOnlyOnceDelegated) {
  const xplat::TreesPlace& place = *xplat::FindTreesPlace().place;
  const std::string unit = place.mount + place.group + "/tree-test-" + std::to_string(::getpid()) + ".service";
  ASSERT_EQ(::mkdir(unit.c_str(), 0755), 0);
  const bool before = xplat::IsUndelegatedUnit(unit);
  const bool marked = ::setxattr(unit.c_str(), "user.delegate", "1", 1, 0) == 0 ||
                      ::setxattr(unit.c_str(), "trusted.delegate", "1", 1, 0) == 0;
  const bool after = xplat::IsUndelegatedUnit(unit);
  ::rmdir(unit.c_str());
  EXPECT_TRUE(before);
  EXPECT_FALSE(xplat::IsUndelegatedUnit(place.mount + place.group));
  if (!marked) GTEST_SKIP() << "no delegation mark can be set on a control group here";
  EXPECT_FALSE(after) << "marked as delegated";
}

INSTANTIATE_TEST_SUITE_P(Ways, ControlGroupTreeTest,
                         testing::Values(TreeWay{"ControlGroup", xplat::ProcessTreeKind::ControlGroup}),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });

// Folders beside a service's own: only those of this install whose lock is
// free now are taken over; a running service's (in a process-id namespace
// of its own, say), another install's, a planted one and names that do not
// parse are left as they are, and none stops the look.
class LeftTreesTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!xplat::FindTreesPlace().place) GTEST_SKIP() << "this machine lets no control group be made here";
  }
  void TearDown() override {
    std::ofstream(release) << "go";
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      for (int tries = 0; tries < 200 && ::rmdir(it->c_str()) != 0 && errno == EBUSY; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  std::string Folder(const std::string& name) {
    const xplat::TreesPlace& place = *xplat::FindTreesPlace().place;
    const std::string path = place.mount + place.group + "/" + name;
    ::mkdir(path.c_str(), 0755);
    made.push_back(path);
    return path;
  }
  // A group in the folder holding a child that runs until released.
  std::uint32_t Populate(const std::string& folder, const std::string& group) {
    const std::string path = folder + "/" + group;
    ::mkdir(path.c_str(), 0755);
    made.push_back(path);
    const xplat::StartedProcess* child = children.Start(L"until " + testing_support::Quoted(release.wstring()));
    if (!child || !xplat::WriteKernelFile(path + "/cgroup.procs", std::to_string(child->processId))) return 0;
    return child->processId;
  }
  static std::string Name(const std::string& install, pid_t process) {
    return xplat::FormatServiceFolderName({install, process, 1, 0});
  }

  testing_support::ChildProcesses children;
  const fs::path release = testing_support::CreateTestFolder() / "release";
  std::vector<std::string> made;
};

TEST_F(LeftTreesTest, OnlyThisInstallsTreesWhoseServiceHasEndedAreTakenOver) {
  const std::wstring install = (testing_support::CreateTestFolder() / "install").wstring();
  const std::string tag = xplat::InstallTag(install);
  const std::string ended = Folder(Name(tag, ::getpid()));
  const std::uint32_t left = Populate(ended, "qvhost7-Left");
  const std::string running = Folder(Name(tag, 1));
  const std::uint32_t live = Populate(running, "qvhost1-Left");
  const std::string other = Folder(Name(xplat::InstallTag(install + L"-other"), ::getpid()));
  const std::uint32_t others = Populate(other, "qvhost1-Left");
  const std::string planted = Folder("custodex-1-1");
  const std::uint32_t stranger = Populate(planted, "qvhost-Left");
  Folder("custodex-99999999999999999999-1");
  Folder("custodex-" + tag + "-99999999999999999999-1-0");
  ASSERT_TRUE(left && live && others && stranger);
  // The running service holds its folder's lock from a process-id namespace of its own.
  // It ends once `stop` is closed.
  int ready[2];
  int stop[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(stop), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(stop[1]);
    if (::unshare(CLONE_NEWPID) != 0) ::_exit(1);
    const pid_t inner = ::fork();
    if (inner == 0) {
      char ignored = 0;
      const int fd = ::open(running.c_str(), O_RDONLY | O_DIRECTORY);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "1", 1) != 1) ::_exit(1);
      ::_exit(static_cast<int>(::read(stop[0], &ignored, 1)));
    }
    ::waitpid(inner, nullptr, 0);
    ::_exit(0);
  }
  char byte = 0;
  ::close(ready[1]);
  ::close(stop[0]);
  const bool locked = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  xplat::ProcessTreeSet set(install);
  xplat::ProcessTreeSet::LeftTrees trees = set.TakeOverLeftTrees();
  // A second service of the install finds the folder taken locked.
  const bool takenAgain = !xplat::ProcessTreeSet(install).TakeOverLeftTrees().trees.empty();
  ::close(stop[1]);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(locked);
  ASSERT_EQ(trees.trees.size(), 1u);
  EXPECT_EQ(trees.trees[0].first, L"Left");
  EXPECT_EQ(trees.trees[0].second.ProcessIds(), std::vector<std::uint32_t>{left});
  EXPECT_EQ(trees.unreadable.size(), 3u) << "the planted folder and the two whose numbers do not fit";
  for (const std::uint32_t untouched : {live, others, stranger}) {
    EXPECT_TRUE(fs::exists("/proc/" + std::to_string(untouched) + "/stat"));
  }
  EXPECT_TRUE(fs::exists(running + "/qvhost1-Left") && fs::exists(other + "/qvhost1-Left"));
  EXPECT_FALSE(takenAgain);
}

TEST(ServiceFolderNameTest, NumbersAreReadWithinTheirRange) {
  const std::string tag = xplat::InstallTag(L"/opt/agent");
  EXPECT_EQ(tag.size(), 16u);
  const std::optional<xplat::ServiceFolderName> name =
      xplat::ParseServiceFolderName(xplat::FormatServiceFolderName({tag, 4711, 123456789012345ull, 2}));
  ASSERT_TRUE(name);
  EXPECT_EQ(name->install, tag);
  EXPECT_EQ(name->process, 4711);
  EXPECT_EQ(name->startTicks, 123456789012345ull);
  EXPECT_EQ(name->serial, 2u);
  for (const std::string& bad : std::vector<std::string>{
           "custodex-1-1", "custodex-" + tag + "-99999999999999999999-1-0", "custodex-" + tag + "--1-1-0",
           "custodex-" + tag + "-0-1-0", "custodex-" + tag + "-1-1-99999999999", "custodex-" + tag + "-1-1",
           "custodex-" + tag + "-1-1-0-", "custodex-ABCDEF0123456789-1-1-0"}) {
    EXPECT_FALSE(xplat::ParseServiceFolderName(bad)) << bad;
  }
  EXPECT_EQ(xplat::HostOfGroupFolder("qvhost12-Alpha-1"), std::optional<std::string>("Alpha-1"));
  EXPECT_FALSE(xplat::HostOfGroupFolder("qvhost99999999999999999999-Alpha"));
}

class ProcessGroupTreeTest : public ProcessTreeTest {};

// A process forked with the id the kernel gives after `id - 1`; it runs
// `child` and ends. -1 when the id cannot be asked for here.
template <typename Child>
pid_t ForkAfter(pid_t id, Child child) {
  if (!xplat::WriteKernelFile("/proc/sys/kernel/ns_last_pid", std::to_string(id - 1))) return -1;
  const pid_t forked = ::fork();
  if (forked == 0) ::_exit(child());
  return forked;
}

// While the tree holds the host's zombie its id is no one else's; once the
// group has ended, a daemon given the id whose child keeps group and session
// of that id (a double fork) is a stranger: neither counted nor ended.
TEST_P(ProcessGroupTreeTest, AGroupIdIsNoOnesElseWhileTheTreeHoldsIt) {
  ASSERT_TRUE(Start(L"exit 0"));
  const pid_t group = static_cast<pid_t>(root.processId);
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  root = xplat::StartedProcess();
  const pid_t early = ForkAfter(group, [] { return ::pause(); });
  if (early < 0) GTEST_SKIP() << "no process can be given an id of its choice here";
  ::kill(early, SIGKILL);
  ::waitpid(early, nullptr, 0);
  EXPECT_NE(early, group);
  tree.Refresh();
  ASSERT_EQ(tree.State(), TreeState::Empty);
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  pid_t daemon = -1;
  pid_t worker = -1;
  for (int attempt = 0; attempt < 20 && daemon != group; ++attempt) {
    daemon = ForkAfter(group, [&] {
      ::setsid();
      const pid_t forked = ::fork();
      if (forked == 0) return ::pause();
      return ::write(pipe[1], &forked, sizeof forked) == sizeof forked ? 0 : 1;
    });
    if (daemon < 0) break;
    if (::read(pipe[0], &worker, sizeof worker) != sizeof worker) worker = -1;
    ::waitpid(daemon, nullptr, 0);
    if (daemon != group && worker > 0) ::kill(worker, SIGKILL);  // a missed try leaves nothing running
  }
  ::close(pipe[0]);
  ::close(pipe[1]);
  if (daemon != group || worker <= 0) GTEST_SKIP() << "no process could be given the group's id here";
  EXPECT_EQ(::getpgid(worker), group);
  EXPECT_EQ(tree.State(), TreeState::Empty);
  EXPECT_EQ(tree.ProcessIds(), std::vector<std::uint32_t>());
  tree.Terminate(1);
  EXPECT_EQ(::kill(worker, 0), 0) << "the stranger runs on";
  ::kill(worker, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Ways, ProcessGroupTreeTest,
                         testing::Values(TreeWay{"ProcessGroup", xplat::ProcessTreeKind::ProcessGroup}),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });
#endif

}  // namespace
