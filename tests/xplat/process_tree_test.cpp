#include "xplat/process_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/fake_clock.h"
#include "xplat/child_process.h"
#include "xplat/clock.h"

namespace {

using testing_support::ChildProgram;
using testing_support::kChildPatience;

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

class ProcessTreeTest : public testing::TestWithParam<TreeWay> {
 protected:
  void SetUp() override {
    const bool processGroup = GetParam().kind == xplat::ProcessTreeKind::ProcessGroup;
    tree = xplat::ProcessTree::Create(L"tree-test-" + std::to_wstring(xplat::CurrentProcessId()), processGroup);
    ASSERT_TRUE(tree);
    if (tree.Kind() != GetParam().kind) GTEST_SKIP() << "this machine lets no control group be made here";
  }
  void TearDown() override {
    if (tree) tree.Terminate(1);
    if (tree) tree.WaitUntilEmpty(kChildPatience);
  }

  // Starts the test child as "family COUNT CHILD_MS OWN_MS" and waits until
  // the tree holds `expected` processes.
  bool StartFamily(const std::wstring& arguments, std::size_t expected) {
    if (!tree.Start(ChildProgram(), L"family " + arguments, root)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildPatience);
    while (tree.ProcessIds().size() != expected) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  xplat::ProcessTree tree;
  xplat::StartedProcess root;
};

TEST_P(ProcessTreeTest, HoldsWhatItsProgramStartsAndWaitsForAllOfIt) {
  ASSERT_TRUE(StartFamily(L"3 300 0", 3));  // the program ends at once; its children go on
  EXPECT_TRUE(root.process.WaitForExit(kChildPatience));
  const std::vector<std::uint32_t> members = tree.ProcessIds();
  EXPECT_EQ(members.size(), 3u);
  EXPECT_EQ(std::count(members.begin(), members.end(), root.processId), 0);
  {
    testing_support::FakeClock clock;
    EXPECT_FALSE(tree.WaitUntilEmpty(0));
  }
  EXPECT_TRUE(tree.WaitUntilEmpty(kChildPatience));
  EXPECT_TRUE(tree.IsEmpty());
}

TEST_P(ProcessTreeTest, TerminateEndsTheWholeTree) {
  ASSERT_TRUE(StartFamily(L"2 60000 60000", 3));
  xplat::ProcessTreeUsage usage;
  ASSERT_TRUE(tree.ReadUsage(usage));
  EXPECT_EQ(usage.processes, 3u);
  EXPECT_TRUE(!usage.peakMemoryKnown || usage.peakMemoryBytes > 0);
  EXPECT_TRUE(tree.Terminate(7));
  EXPECT_TRUE(tree.WaitUntilEmpty(kChildPatience));
  EXPECT_TRUE(root.process.WaitForExit(kChildPatience));
}

TEST_P(ProcessTreeTest, AProgramThatCannotStartLeavesNothing) {
  EXPECT_FALSE(tree.Start(ChildProgram() + L".missing", L"", root));
  EXPECT_FALSE(root.process);
  EXPECT_TRUE(tree.IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Ways, ProcessTreeTest, testing::ValuesIn(Ways()),
                         [](const testing::TestParamInfo<TreeWay>& info) { return info.param.name; });

}  // namespace
