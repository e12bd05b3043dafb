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
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "xplat/posix/clone_into_cgroup.h"
#include "xplat/posix/control_group.h"
#include "xplat/posix/control_group_place.h"
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

// Each link of the chain starts the next and ends: no listing sees them all.
TEST_P(ProcessTreeTest, AChainIsNeverEmptyAndHoldsNoWaitPastItsTime) {
  ASSERT_TRUE(Start(L"chain"));
  for (int look = 0; look < 50; ++look) {
    ASSERT_EQ(tree.State(), TreeState::Populated) << "look " << look;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  auto waited = std::async(std::launch::async, [&] { return tree.WaitUntilEmpty(300); });
  const bool returned = waited.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  Release();
  EXPECT_TRUE(returned);
  EXPECT_EQ(waited.get(), TreeState::Populated);
  EXPECT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
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
  ASSERT_TRUE(Start(L"until"));
  EXPECT_FALSE(root.process.WaitForExit(300));
  EXPECT_EQ(tree.State(), TreeState::Populated);
}

// CPU time is at most the time the process ran.
TEST_P(ProcessTreeTest, CpuTimeIsTheMillisecondsUsed) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(L"spin 400"));
  xplat::ProcessTreeUsage usage;
  const auto used = [&] {
    usage = tree.ReadUsage(xplat::ProcessLook());
    return usage.userMs && usage.kernelMs && *usage.userMs + *usage.kernelMs >= 300;
  };
#if defined(_WIN32)
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // Wine's jobs keep no CPU time
  used();
#else
  ASSERT_TRUE(Within(kChildPatience, used));
#endif
  const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LE(usage.userMs.value_or(0) + usage.kernelMs.value_or(0), static_cast<std::uint64_t>(ran.count()) + 20);
}

#if !defined(_WIN32)
TEST_P(ProcessTreeTest, EachProgramLeadsASessionOfItsOwn) {
  ASSERT_TRUE(Start(L"until"));
  EXPECT_EQ(::getsid(static_cast<pid_t>(root.processId)), static_cast<pid_t>(root.processId));
}

// With no descriptor left nothing can be read, and nothing is taken as empty.
TEST_P(ProcessTreeTest, ATreeThatCannotBeReadIsNotEmpty) {
  ASSERT_TRUE(Start(L"until"));
  // Once before: the sanitizers' checks of a call, cached then, need descriptors.
  ASSERT_EQ(tree.WaitUntilEmpty(0), TreeState::Populated);
  std::vector<int> filled;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filled.push_back(fd);
  const TreeState state = tree.State();
  const TreeState waited = tree.WaitUntilEmpty(0);
  const bool listed = tree.ProcessIds().has_value();
  for (const int fd : filled) ::close(fd);
  EXPECT_EQ(state, TreeState::Unknown);
  EXPECT_EQ(waited, TreeState::Unknown);
  EXPECT_FALSE(listed);
}
#endif

INSTANTIATE_TEST_SUITE_P(Ways, ProcessTreeTest, testing::ValuesIn(Ways()),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });

#if !defined(_WIN32)
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

TEST_P(ControlGroupTreeTest, AGroupRemovedBetweenTwoStartsIsMadeAnew) {
  ASSERT_TRUE(Start(L"until"));
  const std::string group = GroupOf(root.processId);
  Release();
  ASSERT_EQ(tree.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  ASSERT_EQ(::rmdir(group.c_str()), 0);
  fs::remove(release);
  ASSERT_TRUE(Start(L"until"));
  EXPECT_EQ(GroupOf(root.processId), group);
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

// A service folder whose process id now names a process started at
// another time is one of a service that has ended.
TEST_P(ControlGroupTreeTest, TheTreesOfAnEndedServiceAreTakenOver) {
  const xplat::TreesPlace& place = *xplat::FindTreesPlace().place;
  const std::string services = place.mount + place.trees.substr(0, place.trees.rfind('/'));
  const std::string ended = services + "/custodex-" + std::to_string(::getpid()) + "-1";
  ASSERT_TRUE(xplat::ControlGroup(place.mount, ended.substr(place.mount.size()) + "/qvhost-Left").Make());
  ASSERT_EQ(::mkdir((ended + "/qvhost-Gone").c_str(), 0755), 0);
  testing_support::ChildProcesses children;
  const xplat::StartedProcess* left = children.Start(L"until " + testing_support::Quoted(release.wstring()));
  ASSERT_NE(left, nullptr);
  ASSERT_TRUE(xplat::WriteKernelFile(ended + "/qvhost-Left/cgroup.procs", std::to_string(left->processId)));
  auto trees = xplat::ProcessTree::TakeOverLeftTrees();
  const auto taken = std::find_if(trees.begin(), trees.end(), [](const auto& tree) { return tree.first == L"Left"; });
  ASSERT_NE(taken, trees.end());
  EXPECT_EQ(taken->second.ProcessIds(), std::vector<std::uint32_t>{left->processId});
  EXPECT_FALSE(fs::exists(ended + "/qvhost-Gone"));
  taken->second.Terminate(1);
  EXPECT_EQ(taken->second.WaitUntilEmpty(kChildPatience), TreeState::Empty);
  trees.clear();
  EXPECT_FALSE(fs::exists(ended)) << "the ended service's folder goes once empty";
}

// Trees are made in a manager's unit only where it was delegated.
TEST_P(ControlGroupTreeTest, AServiceManagersUnitIsUsedOnlyOnceDelegated) {
  const xplat::TreesPlace& place = *xplat::FindTreesPlace().place;
  const std::string unit = place.mount + place.trees + "-test.service";
  ASSERT_EQ(::mkdir(unit.c_str(), 0755), 0);
  const bool before = xplat::IsUndelegatedUnit(unit);
  const bool marked = ::setxattr(unit.c_str(), "user.delegate", "1", 1, 0) == 0;
  const bool after = xplat::IsUndelegatedUnit(unit);
  ::rmdir(unit.c_str());
  EXPECT_TRUE(before);
  EXPECT_TRUE(!marked || !after) << "marked as delegated";
  EXPECT_FALSE(xplat::IsUndelegatedUnit(place.mount + place.trees));
}

INSTANTIATE_TEST_SUITE_P(Ways, ControlGroupTreeTest,
                         testing::Values(TreeWay{"ControlGroup", xplat::ProcessTreeKind::ControlGroup}),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });

class ProcessGroupTreeTest : public ProcessTreeTest {};

// A stranger of the same user given the ended group's id, leading a group
// and a session of its own, is no member: it is neither counted nor ended.
TEST_P(ProcessGroupTreeTest, AGroupIdReusedByAnotherProcessIsNotTheTree) {
  ASSERT_TRUE(Start(L"exit 0"));
  const pid_t group = static_cast<pid_t>(root.processId);
  ASSERT_TRUE(root.process.WaitForExit(kChildPatience));
  root = xplat::StartedProcess();  // reaped: the id is free
  // A start is known to the clock tick: the stranger comes a tick later at least.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  pid_t stranger = -1;
  for (int attempt = 0; attempt < 20 && stranger != group; ++attempt) {
    if (stranger > 0) ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0);
    if (!xplat::WriteKernelFile("/proc/sys/kernel/ns_last_pid", std::to_string(group - 1))) break;
    stranger = ::fork();
    if (stranger == 0) {
      ::setsid();
      ::pause();
      ::_exit(0);
    }
  }
  if (stranger != group) {
    if (stranger > 0) ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0);
    GTEST_SKIP() << "no process could be given the group's id here";
  }
  ASSERT_TRUE(Within(kChildPatience, [&] { return ::getsid(stranger) == stranger; }));
  EXPECT_EQ(tree.State(), TreeState::Empty);
  EXPECT_EQ(tree.ProcessIds(), std::vector<std::uint32_t>());
  tree.Terminate(1);
  EXPECT_EQ(::waitpid(stranger, nullptr, WNOHANG), 0) << "the stranger runs on";
  ::kill(stranger, SIGKILL);
  ::waitpid(stranger, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, ProcessGroupTreeTest,
                         testing::Values(TreeWay{"ProcessGroup", xplat::ProcessTreeKind::ProcessGroup}),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });
#endif

}  // namespace
